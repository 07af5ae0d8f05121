#include "engine/limits.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "engine/admission.hpp"
#include "engine/report.hpp"
#include "fake_clock.hpp"

namespace quellgate::engine {
namespace {

using testing::make_core;
using testing::utc;

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

struct WindowLayout {
  std::string name;
  std::uint64_t limit;
  std::uint64_t length;
  bool operator==(const WindowLayout&) const = default;
};

std::vector<WindowLayout> layout_of(const LimiterCore& core) {
  return core.window_table()
      .with_lock([](std::span<WindowState> windows) {
        std::vector<WindowLayout> layout;
        for (const WindowState& w : windows) layout.push_back({std::string(w.name), w.limit, w.length});
        return layout;
      })
      .value();
}

std::string error_of(const LimitArgs& args) {
  const auto core = make_limiter_core(args);
  return core ? std::string("<accepted>") : core.error().message;
}

TEST(LimitsTest, RefusesMissingOrZeroLimitsWithTheFirstFaultInCheckOrder) {
  EXPECT_EQ(error_of({}), "At least one rate limit must be specified");
  EXPECT_EQ(error_of({.max_burst = 5}), "At least one rate limit must be specified");
  EXPECT_EQ(error_of({.sec_window = 10}), "At least one rate limit must be specified");
  EXPECT_EQ(error_of({.sec = 0, .max_burst = 0}), "Rate limit for second must be greater than 0");
  EXPECT_EQ(error_of({.min = 0, .hour = 0}), "Rate limit for minute must be greater than 0");
  EXPECT_EQ(error_of({.sec = 1, .day = 0}), "Rate limit for day must be greater than 0");
  EXPECT_EQ(error_of({.sec = 1, .max_burst = 0}), "max_burst must be greater than 0");
}

TEST(LimitsTest, ZeroWindowMultiplierIsRefusedAfterLimitsAndBeforeMaxBurst) {
  EXPECT_EQ(error_of({.sec = 1, .sec_window = 0, .max_burst = 0}), "sec_window must be greater than 0");
  EXPECT_EQ(error_of({.min = 0, .min_window = 0}), "Rate limit for minute must be greater than 0");
  EXPECT_EQ(error_of({.hour_window = 0}), "At least one rate limit must be specified");
  EXPECT_EQ(error_of({.hour = 1, .day = 1, .hour_window = 0, .day_window = 0}),
            "hour_window must be greater than 0");
  EXPECT_EQ(error_of({.min = 1, .min_window = 0}), "min_window must be greater than 0");
  EXPECT_EQ(error_of({.day = 1, .day_window = 0}), "day_window must be greater than 0");
  // A zero multiplier of a period without a limit has no effect.
  EXPECT_EQ(error_of({.min = 1, .sec_window = 0}), "<accepted>");
}

TEST(LimitsTest, WindowsFollowPeriodOrderWithMultipliedLengths) {
  EXPECT_EQ(layout_of(make_core({.hour = 100, .day = 1000})),
            (std::vector<WindowLayout>{{"hour", 100, 3600}, {"day", 1000, 86400}}));
  EXPECT_EQ(layout_of(make_core({.min = 100, .min_window = 5})),
            (std::vector<WindowLayout>{{"minute", 100, 300}}));
  EXPECT_EQ(layout_of(make_core({.sec = 3, .sec_window = 10})),
            (std::vector<WindowLayout>{{"second", 3, 10}}));
  EXPECT_EQ(layout_of(make_core({.sec = u64_max, .min = 2, .hour = 3, .day = 4})),
            (std::vector<WindowLayout>{
                {"second", u64_max, 1}, {"minute", 2, 60}, {"hour", 3, 3600}, {"day", 4, 86400}}));
}

TEST(LimitsTest, OverflowingMultiplierSaturatesTheWindowLength) {
  const auto core = make_core({.min = 1, .day = 1, .min_window = u64_max / 60 + 1, .day_window = u64_max});
  EXPECT_EQ(layout_of(core), (std::vector<WindowLayout>{{"minute", 1, u64_max}, {"day", 1, u64_max}}));
  const auto exact = make_core({.min = 1, .min_window = u64_max / 60});
  EXPECT_EQ(layout_of(exact)[0].length, u64_max / 60 * 60);
}

TEST(LimitsTest, StoresBlockingAndMaxBurst) {
  const auto plain = make_core({.sec = 1});
  EXPECT_TRUE(plain.blocking());
  EXPECT_EQ(plain.max_burst(), std::nullopt);
  const auto capped = make_core({.sec = 1, .blocking = false, .max_burst = 7});
  EXPECT_FALSE(capped.blocking());
  EXPECT_EQ(capped.max_burst(), 7u);
}

TEST(LimitsTest, CopiesShareWindowsBurstCountAndInterruptFlag) {
  const auto original = make_core({.sec = 5, .max_burst = 3});
  const LimiterCore copy = original;
  ASSERT_EQ(try_admit(copy, utc(12, 0, 0)), Admission::admitted);
  const RemainingReport report = report_remaining(original, utc(12, 0, 0));
  EXPECT_EQ(report.find("second"), 4u);
  EXPECT_EQ(report.find("burst"), 2u);
  copy.set_interrupt();
  EXPECT_TRUE(original.interrupted());
  original.clear_interrupt();
  EXPECT_FALSE(copy.interrupted());
}

TEST(LimitsTest, SeparateLimitersShareNothing) {
  const auto first = make_core({.sec = 1});
  const auto second = make_core({.sec = 1});
  ASSERT_EQ(try_admit(first, utc(12, 0, 0)), Admission::admitted);
  EXPECT_EQ(try_admit(second, utc(12, 0, 0)), Admission::admitted);
}

}  // namespace
}  // namespace quellgate::engine
