#include "engine/report.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "engine/admission.hpp"
#include "fake_clock.hpp"

namespace quellgate::engine {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;
using testing::make_core;
using testing::utc;

using Pairs = std::vector<std::pair<std::string, std::uint64_t>>;

Pairs pairs_of(const RemainingReport& report) {
  Pairs pairs;
  for (const RemainingEntry& entry : report) pairs.emplace_back(entry.name, entry.remaining);
  return pairs;
}

TEST(ReportRemainingTest, ListsWindowsInPeriodOrderThenBurst) {
  const auto core = make_core({.sec = 5, .min = 6, .hour = 7, .day = 8, .max_burst = 2});
  EXPECT_EQ(pairs_of(report_remaining(core, utc(12, 0, 0))),
            (Pairs{{"second", 5}, {"minute", 6}, {"hour", 7}, {"day", 8}, {"burst", 2}}));
}

TEST(ReportRemainingTest, FollowsAdmissionReleaseAndRollover) {
  const auto core = make_core({.sec = 5, .max_burst = 2});
  const auto now = utc(12, 0, 0);
  ASSERT_EQ(try_admit(core, now), Admission::admitted);
  EXPECT_EQ(pairs_of(report_remaining(core, now)), (Pairs{{"second", 4}, {"burst", 1}}));
  release_burst(core);
  EXPECT_EQ(pairs_of(report_remaining(core, now)), (Pairs{{"second", 4}, {"burst", 2}}));
  EXPECT_EQ(pairs_of(report_remaining(core, now + 1s)), (Pairs{{"second", 5}, {"burst", 2}}));
}

TEST(ReportRemainingTest, OmitsBurstWithoutMaxBurst) {
  const auto core = make_core({.hour = 10});
  EXPECT_EQ(pairs_of(report_remaining(core, utc(12, 0, 0))), (Pairs{{"hour", 10}}));
}

TEST(ComputeWaitTest, NothingWhileEveryWindowHasRoomEvenWithAllPermitsHeld) {
  const auto core = make_core({.sec = 5, .max_burst = 1});
  EXPECT_EQ(compute_wait(core, utc(12, 0, 0)), std::nullopt);
  ASSERT_EQ(try_admit(core, utc(12, 0, 0)), Admission::admitted);
  EXPECT_EQ(compute_wait(core, utc(12, 0, 0)), std::nullopt);
}

TEST(ComputeWaitTest, MeasuresToTheFullWindowsEndNotItsLength) {
  const auto core = make_core({.min = 1});
  ASSERT_EQ(try_admit(core, utc(12, 0, 45, 250ms)), Admission::admitted);
  EXPECT_EQ(compute_wait(core, utc(12, 0, 45, 250ms)), nanoseconds(14750ms));
  EXPECT_EQ(compute_wait(core, utc(12, 1, 0)), std::nullopt) << "rolled over";
}

TEST(ComputeWaitTest, NeverReportsLessThanOneMillisecond) {
  const auto core = make_core({.sec = 1});
  ASSERT_EQ(try_admit(core, utc(12, 0, 0)), Admission::admitted);
  EXPECT_EQ(compute_wait(core, utc(12, 0, 0, 999'999'999ns)), nanoseconds(1ms));
  EXPECT_EQ(compute_wait(core, utc(12, 0, 0, 999ms)), nanoseconds(1ms));
  EXPECT_EQ(compute_wait(core, utc(12, 0, 0, 998ms + 1ns)), nanoseconds(2ms - 1ns));
}

TEST(ComputeWaitTest, ShortestFullWindowWinsAndFreeWindowsDoNotCount) {
  const auto core = make_core({.sec = 1, .min = 1, .hour = 5});
  const auto now = utc(12, 0, 30, 400ms);
  ASSERT_EQ(try_admit(core, now), Admission::admitted);
  EXPECT_EQ(compute_wait(core, now), nanoseconds(600ms)) << "second and minute full, hour free";
  EXPECT_EQ(compute_wait(core, utc(12, 0, 31)), nanoseconds(29s)) << "only the minute still full";
}

TEST(ComputeWaitTest, ClockSteppedBackAnHourWaitsForOneWindowAtMost) {
  const auto core = make_core({.sec = 1});
  ASSERT_EQ(try_admit(core, utc(12, 0, 10)), Admission::admitted);
  EXPECT_EQ(compute_wait(core, utc(11, 0, 10, 500ms)), nanoseconds(500ms));
}

TEST(ComputeWaitTest, EndlessWindowSaturatesInsteadOfOverflowing) {
  const auto core = make_core({.day = 1, .day_window = std::numeric_limits<std::uint64_t>::max()});
  ASSERT_EQ(try_admit(core, utc(12, 0, 0)), Admission::admitted);
  EXPECT_EQ(compute_wait(core, utc(12, 0, 0)), nanoseconds::max());
  const auto century = make_core({.day = 1, .day_window = 36525});
  ASSERT_EQ(try_admit(century, utc(12, 0, 0)), Admission::admitted);
  const auto wait = compute_wait(century, utc(12, 0, 0));
  ASSERT_TRUE(wait.has_value());
  EXPECT_GT(*wait, std::chrono::hours(24 * 365 * 40));
  EXPECT_LT(*wait, std::chrono::hours(24 * 36525));
}

}  // namespace
}  // namespace quellgate::engine
