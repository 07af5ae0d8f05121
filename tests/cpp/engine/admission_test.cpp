#include "engine/admission.hpp"

#include <gtest/gtest.h>

#include "engine/report.hpp"
#include "fake_clock.hpp"

namespace quellgate::engine {
namespace {

using namespace std::chrono_literals;
using testing::make_core;
using testing::utc;

int admit_times(const LimiterCore& core, int times, std::chrono::nanoseconds now) {
  int admitted = 0;
  for (int i = 0; i < times; ++i) admitted += try_admit(core, now) == Admission::admitted ? 1 : 0;
  return admitted;
}

TEST(TryAdmitTest, FullWindowRefusesUntilTheNextWholeSecond) {
  const auto core = make_core({.sec = 3, .blocking = false});
  EXPECT_EQ(admit_times(core, 3, utc(12, 0, 0, 900ms)), 3);
  EXPECT_EQ(try_admit(core, utc(12, 0, 0, 999'999'999ns)), Admission::refused);
  EXPECT_EQ(try_admit(core, utc(12, 0, 1)), Admission::admitted);
}

TEST(TryAdmitTest, WindowsAreAlignedToTheEpochNotToTheFirstAdmission) {
  const auto core = make_core({.min = 10});
  EXPECT_EQ(admit_times(core, 10, utc(12, 0, 59)), 10);
  EXPECT_EQ(admit_times(core, 11, utc(12, 1, 0)), 10);
  EXPECT_EQ(try_admit(core, utc(12, 1, 59, 999ms)), Admission::refused);
}

TEST(TryAdmitTest, RefusalUndoesTheCountsOfThisPass) {
  const auto core = make_core({.sec = 5, .min = 3});
  ASSERT_EQ(admit_times(core, 3, utc(12, 0, 0)), 3);
  EXPECT_EQ(try_admit(core, utc(12, 0, 0)), Admission::refused);
  const RemainingReport report = report_remaining(core, utc(12, 0, 0));
  EXPECT_EQ(report.find("second"), 2u);
  EXPECT_EQ(report.find("minute"), 0u);
}

TEST(TryAdmitTest, WindowsAfterTheRefusingOneAreLeftAlone) {
  const auto core = make_core({.sec = 1, .hour = 5});
  ASSERT_EQ(try_admit(core, utc(12, 0, 0)), Admission::admitted);
  EXPECT_EQ(admit_times(core, 3, utc(12, 0, 0)), 0);
  EXPECT_EQ(report_remaining(core, utc(12, 0, 0)).find("hour"), 4u);
}

TEST(TryAdmitTest, WindowAtItsLimitRefusesEvenWithTheLargestLimit) {
  const auto core = make_core({.sec = 1});
  EXPECT_EQ(try_admit(core, utc(12, 0, 0)), Admission::admitted);
  EXPECT_EQ(try_admit(core, utc(12, 0, 0)), Admission::refused);
}

TEST(TryAdmitTest, BurstCapRefusesWithoutCountingAndWindowRefusalReturnsThePermit) {
  const auto core = make_core({.sec = 5, .max_burst = 1});
  ASSERT_EQ(try_admit(core, utc(12, 0, 0)), Admission::admitted);
  EXPECT_EQ(try_admit(core, utc(12, 0, 0)), Admission::refused);
  EXPECT_EQ(report_remaining(core, utc(12, 0, 0)).find("second"), 4u);

  const auto full = make_core({.sec = 1, .max_burst = 3});
  ASSERT_EQ(try_admit(full, utc(12, 0, 0)), Admission::admitted);
  EXPECT_EQ(admit_times(full, 5, utc(12, 0, 0)), 0);
  EXPECT_EQ(full.burst_in_use().load(), 1u);
}

TEST(TryAdmitTest, ReleaseGivesOnePermitBackAndNeverGoesBelowZero) {
  const auto core = make_core({.sec = 100, .max_burst = 2});
  ASSERT_EQ(admit_times(core, 3, utc(12, 0, 0)), 2);
  release_burst(core);
  EXPECT_EQ(core.burst_in_use().load(), 1u);
  for (int i = 0; i < 4; ++i) release_burst(core);
  EXPECT_EQ(core.burst_in_use().load(), 0u);
  EXPECT_EQ(admit_times(core, 3, utc(12, 0, 0)), 2) << "the cap still holds after surplus releases";
}

TEST(TryAdmitTest, ReleaseDoesNotReturnWindowCapacity) {
  const auto core = make_core({.sec = 1, .max_burst = 1});
  ASSERT_EQ(try_admit(core, utc(12, 0, 0)), Admission::admitted);
  release_burst(core);
  EXPECT_EQ(try_admit(core, utc(12, 0, 0)), Admission::refused);
}

TEST(TryAdmitTest, ClockSteppedBackAnHourKeepsTheCountForOneWindowOnly) {
  const auto core = make_core({.sec = 2});
  ASSERT_EQ(admit_times(core, 2, utc(12, 0, 10)), 2);
  EXPECT_EQ(try_admit(core, utc(11, 0, 10)), Admission::refused);
  EXPECT_EQ(try_admit(core, utc(11, 0, 10, 500ms)), Admission::refused);
  EXPECT_EQ(try_admit(core, utc(11, 0, 11)), Admission::admitted);
}

TEST(TryAdmitTest, ClockAtTheEpochCountsAndRollsOverNormally) {
  const auto core = make_core({.sec = 1, .day = 3});
  EXPECT_EQ(try_admit(core, 0ns), Admission::admitted);
  EXPECT_EQ(try_admit(core, 0ns), Admission::refused);
  EXPECT_EQ(compute_wait(core, 0ns), std::chrono::nanoseconds(1s));
  EXPECT_EQ(try_admit(core, 1s), Admission::admitted);
  const RemainingReport report = report_remaining(core, 1s);
  EXPECT_EQ(report.find("second"), 0u);
  EXPECT_EQ(report.find("day"), 1u);
}

TEST(BurstPermitTest, GivesItsPermitBackUnlessHandedOver) {
  const auto core = make_core({.sec = 100, .max_burst = 3});
  ASSERT_EQ(admit_times(core, 2, utc(12, 0, 0)), 2);
  { const BurstPermit dropped(core); }
  EXPECT_EQ(core.burst_in_use().load(), 1u);
  {
    BurstPermit kept(core);
    kept.hand_over();
  }
  EXPECT_EQ(core.burst_in_use().load(), 1u);
}

TEST(BurstPermitTest, MovedPermitIsGivenBackOnce) {
  const auto core = make_core({.sec = 100, .max_burst = 3});
  ASSERT_EQ(admit_times(core, 2, utc(12, 0, 0)), 2);
  {
    BurstPermit first(core);
    const BurstPermit second(std::move(first));
  }
  EXPECT_EQ(core.burst_in_use().load(), 1u);
}

TEST(BurstPermitTest, DoesNothingWithoutMaxBurst) {
  const auto core = make_core({.sec = 1});
  { const BurstPermit permit(core); }
  EXPECT_EQ(core.burst_in_use().load(), 0u);
  EXPECT_EQ(report_remaining(core, utc(12, 0, 0)).find("burst"), std::nullopt);
}

}  // namespace
}  // namespace quellgate::engine
