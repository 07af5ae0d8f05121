#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "engine/admission.hpp"
#include "engine/burst.hpp"
#include "engine/cost.hpp"
#include "engine/report.hpp"
#include "engine/settlement.hpp"
#include "fake_clock.hpp"

namespace quellgate::engine {
namespace {

using namespace std::chrono_literals;
using testing::make_core;
using testing::utc;
using Kind = AdmissionStep::Kind;

std::uint64_t left(const LimiterCore& core, std::chrono::nanoseconds now, const char* window) {
  return report_remaining(core, now).find(window).value();
}

TEST(CostTest, CountsInEveryWindowOrInNone) {
  const auto core = make_core({.sec = 5, .min = 6});
  const auto now = utc(12, 0, 0);
  ASSERT_EQ(try_admit(core, now, 4), Admission::admitted);
  // The second has 1 place left: 3 are refused, and the minute keeps its 2.
  EXPECT_EQ(try_admit(core, now, 3), Admission::refused);
  EXPECT_EQ(left(core, now, "minute"), 2u);
  // Next second, the minute lacks room: the fresh second keeps its 5.
  EXPECT_EQ(try_admit(core, now + 1s, 3), Admission::refused);
  EXPECT_EQ(left(core, now + 1s, "second"), 5u);
  EXPECT_EQ(try_admit(core, now + 1s, 2), Admission::admitted);
  EXPECT_EQ(left(core, now + 1s, "minute"), 0u);
}

TEST(CostTest, ACostAboveSomeLimitIsRefusedNamingTheWindow) {
  const auto core = make_core({.sec = 5, .min = 3});
  EXPECT_FALSE(check_cost(core, 1));
  EXPECT_FALSE(check_cost(core, 3));
  const auto refused = check_cost(core, 4);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->message, "cost 4 exceeds the minute window's limit of 3");
}

struct SettleCase {
  const char* name;
  std::int64_t delta;
  std::chrono::nanoseconds settled_at;  // after the admission at 12:00:00.5
  std::uint64_t second_left, minute_left;
};

class SettleTest : public ::testing::TestWithParam<SettleCase> {};

TEST_P(SettleTest, AppliesToTheWindowsStillCurrent) {
  const SettleCase& c = GetParam();
  const auto core = make_core({.sec = 5, .min = 10});
  AdmissionLoop loop(core, 3);
  const auto decided = utc(12, 0, 0, 500ms);
  ASSERT_EQ(loop.next(decided).kind, Kind::admitted);
  EXPECT_EQ(loop.decided_at(), decided);
  settle(core, loop.decided_at(), decided + c.settled_at, c.delta);
  const auto now = decided + c.settled_at;
  EXPECT_EQ(left(core, now, "second"), c.second_left);
  EXPECT_EQ(left(core, now, "minute"), c.minute_left);
}

INSTANTIATE_TEST_SUITE_P(
    Settlements, SettleTest,
    ::testing::Values(SettleCase{"up_past_the_limit", 4, 100ms, 0, 3}, SettleCase{"down", -2, 100ms, 4, 9},
                      SettleCase{"down_never_below_zero", -9, 100ms, 5, 10},
                      // The second rolled over: only the minute still holds the admission.
                      SettleCase{"after_a_rollover", -3, 600ms, 5, 10}, SettleCase{"up_after_a_rollover", 2, 600ms, 5, 5}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// The loop's deadline reads this instead of a real monotonic clock.
std::chrono::nanoseconds fake_monotonic{0};
std::chrono::nanoseconds read_fake_monotonic() { return fake_monotonic; }

TEST(DeadlineTest, NoSleepOutlastsItAndThenTheLoopRefusesHoldingNothing) {
  const auto core = make_core({.sec = 1, .max_burst = 1});
  const auto now = utc(12, 0, 0, 100ms);
  ASSERT_EQ(try_admit(core, now), Admission::admitted);
  release_burst(core);
  fake_monotonic = 1000s;
  AdmissionLoop loop(core);
  loop.set_deadline({fake_monotonic + 25ms, read_fake_monotonic});
  // The backoff would sleep 10 ms, then 20; the second step is cut to the 15 left.
  AdmissionStep step = loop.next(now);
  ASSERT_EQ(step.kind, Kind::sleep);
  EXPECT_EQ(step.sleep_ms, 10u);
  fake_monotonic += 10ms;
  step = loop.next(now + 10ms);
  ASSERT_EQ(step.kind, Kind::sleep);
  EXPECT_EQ(step.sleep_ms, 15u);
  fake_monotonic += 15ms;
  EXPECT_EQ(loop.next(now + 25ms).kind, Kind::refused);
  EXPECT_EQ(burst_remaining(core), 1u);
}

TEST(DeadlineTest, ADeadlinePassedMakesOneAttempt) {
  const auto core = make_core({.sec = 2});
  fake_monotonic = 1000s;
  for (const Kind expected : {Kind::admitted, Kind::admitted, Kind::refused}) {
    AdmissionLoop loop(core);
    loop.set_deadline({fake_monotonic, read_fake_monotonic});
    EXPECT_EQ(loop.next(utc(12, 0, 0)).kind, expected);
  }
}

}  // namespace
}  // namespace quellgate::engine
