#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/admission.hpp"
#include "engine/report.hpp"
#include "fake_clock.hpp"

namespace quellgate::engine {
namespace {

using namespace std::chrono_literals;
using testing::FakeClock;
using testing::make_core;
using testing::utc;
using Kind = AdmissionStep::Kind;

// Far more steps than any wait here needs; a loop that gets there is stuck.
constexpr std::size_t runaway_steps = 10'000;

// A sleep that only moves the fake clock, recording each step. It reports an
// interruption once the loop runs away, so a fault fails instead of hanging.
struct RecordingSleep {
  FakeClock& clock;
  std::vector<std::uint32_t>& steps;
  bool operator()(const AdmissionStep& step, const LimiterCore&) const {
    steps.push_back(step.sleep_ms);
    clock.advance(std::chrono::milliseconds(step.sleep_ms));
    return steps.size() >= runaway_steps;
  }
};

// Drives `loop` without moving the clock until it stops asking for sleeps or
// has slept `max_steps` times.
std::vector<std::uint32_t> sleeps_at(AdmissionLoop& loop, std::chrono::nanoseconds now, int max_steps) {
  std::vector<std::uint32_t> steps;
  for (int i = 0; i < max_steps; ++i) {
    const AdmissionStep step = loop.next(now);
    if (step.kind != Kind::sleep) break;
    steps.push_back(step.sleep_ms);
  }
  return steps;
}

TEST(AdmitBlockingTest, WindowWaitBacksOffThenSleepsTheRemainingWholeMilliseconds) {
  FakeClock clock{utc(12, 0, 0, 500'123'456ns)};
  const auto core = make_core({.sec = 1});
  ASSERT_EQ(try_admit(core, clock.now), Admission::admitted);
  std::vector<std::uint32_t> steps;
  EXPECT_EQ(admit_blocking(core, clock, RecordingSleep{clock, steps}), Admission::admitted);
  // 499.876544 ms were left: after 310 ms of backoff, 189 truncated ms, then
  // the sub-millisecond rest rounds up to the 1 ms floor.
  EXPECT_EQ(steps, (std::vector<std::uint32_t>{10, 20, 40, 80, 160, 189, 1}));
  EXPECT_EQ(clock.now, utc(12, 0, 1, 123'456ns));
}

TEST(AdmitBlockingTest, WaitForTheLaterOfTwoFullWindowsPollsAtMostOnceASecond) {
  FakeClock clock{utc(12, 0, 30)};
  const auto core = make_core({.sec = 1, .min = 1});
  ASSERT_EQ(try_admit(core, clock.now), Admission::admitted);
  std::vector<std::uint32_t> steps;
  EXPECT_EQ(admit_blocking(core, clock, RecordingSleep{clock, steps}), Admission::admitted);
  ASSERT_GE(steps.size(), 7u);
  EXPECT_EQ(std::vector(steps.begin(), steps.begin() + 7),
            (std::vector<std::uint32_t>{10, 20, 40, 80, 160, 320, 370}))
      << "first steps aim at the second's rollover";
  EXPECT_EQ(*std::max_element(steps.begin(), steps.end()), 1000u);
  EXPECT_GE(clock.now, utc(12, 1, 0));
  EXPECT_LT(clock.now, utc(12, 1, 1));
}

TEST(AdmitBlockingTest, BurstWaitUsesTheShortBackoffUntilAPermitIsFree) {
  const auto core = make_core({.sec = 100, .max_burst = 1});
  ASSERT_EQ(try_admit(core, utc(12, 0, 0)), Admission::admitted);
  AdmissionLoop loop(core);
  EXPECT_EQ(sleeps_at(loop, utc(12, 0, 0), 8),
            (std::vector<std::uint32_t>{10, 20, 40, 80, 100, 100, 100, 100}));
  release_burst(core);
  EXPECT_EQ(loop.next(utc(12, 0, 0)).kind, Kind::admitted);
  EXPECT_EQ(core.burst_in_use().load(), 1u);
}

TEST(AdmitBlockingTest, BurstWaitsLengthenTheFirstWindowWait) {
  const auto core = make_core({.sec = 2, .max_burst = 1});
  const auto now = utc(12, 0, 0);
  ASSERT_EQ(try_admit(core, now), Admission::admitted);
  AdmissionLoop loop(core);
  ASSERT_EQ(sleeps_at(loop, now, 3), (std::vector<std::uint32_t>{10, 20, 40}));
  release_burst(core);
  ASSERT_EQ(try_admit(core, now), Admission::admitted);  // fills the window
  release_burst(core);
  const AdmissionStep step = loop.next(now);
  EXPECT_EQ(step.kind, Kind::sleep);
  EXPECT_EQ(step.sleep_ms, 80u) << "attempt 3 carries over from the burst wait";
  EXPECT_EQ(core.burst_in_use().load(), 1u) << "the loop keeps its permit while it waits";
}

TEST(AdmitBlockingTest, InterruptFlagEndsTheWaitAndReturnsEverythingTheLoopTook) {
  const auto core = make_core({.sec = 1, .min = 5, .max_burst = 3});
  const auto now = utc(12, 0, 0);
  ASSERT_EQ(try_admit(core, now), Admission::admitted);
  AdmissionLoop loop(core);
  ASSERT_EQ(loop.next(now).kind, Kind::sleep);
  ASSERT_EQ(core.burst_in_use().load(), 2u);
  core.set_interrupt();
  EXPECT_EQ(loop.next(now + 1s).kind, Kind::interrupted) << "tested before the windows";
  EXPECT_EQ(core.burst_in_use().load(), 1u);
  EXPECT_EQ(report_remaining(core, now).find("minute"), 4u);
}

TEST(AdmitBlockingTest, InterruptFlagIsTestedBeforeLookingForABurstPermit) {
  const auto core = make_core({.sec = 5, .max_burst = 1});
  core.set_interrupt();
  AdmissionLoop loop(core);
  EXPECT_EQ(loop.next(utc(12, 0, 0)).kind, Kind::interrupted);
  EXPECT_EQ(core.burst_in_use().load(), 0u);
  EXPECT_EQ(report_remaining(core, utc(12, 0, 0)).find("second"), 5u);
}

TEST(AdmitBlockingTest, InterruptedSleepEndsTheWaitAndReturnsThePermit) {
  FakeClock clock{utc(12, 0, 0)};
  const auto core = make_core({.sec = 1, .max_burst = 2});
  ASSERT_EQ(try_admit(core, clock.now), Admission::admitted);
  int sleeps = 0;
  const auto interrupted_on_third = [&](const AdmissionStep&, const LimiterCore&) { return ++sleeps == 3; };
  EXPECT_EQ(admit_blocking(core, clock, interrupted_on_third), Admission::interrupted);
  EXPECT_EQ(sleeps, 3);
  EXPECT_EQ(core.burst_in_use().load(), 1u);
}

TEST(AdmitBlockingTest, FlagSetBySleepEndsTheWaitAtTheNextStep) {
  FakeClock clock{utc(12, 0, 0)};
  const auto core = make_core({.sec = 1, .max_burst = 2});
  ASSERT_EQ(try_admit(core, clock.now), Admission::admitted);
  int sleeps = 0;
  const auto set_flag = [&](const AdmissionStep&, const LimiterCore& c) {
    c.set_interrupt();
    return ++sleeps >= 100;
  };
  EXPECT_EQ(admit_blocking(core, clock, set_flag), Admission::interrupted);
  EXPECT_EQ(sleeps, 1);
  EXPECT_EQ(core.burst_in_use().load(), 1u);
}

TEST(AdmitBlockingTest, AbandonedLoopReturnsItsPermitButAnAdmittedOneKeepsIt) {
  const auto core = make_core({.sec = 1, .max_burst = 3});
  const auto now = utc(12, 0, 0);
  {
    AdmissionLoop admitted(core);
    ASSERT_EQ(admitted.next(now).kind, Kind::admitted);
  }
  EXPECT_EQ(core.burst_in_use().load(), 1u);
  {
    AdmissionLoop waiting(core);
    ASSERT_EQ(waiting.next(now).kind, Kind::sleep);
    ASSERT_EQ(core.burst_in_use().load(), 2u);
  }
  EXPECT_EQ(core.burst_in_use().load(), 1u);
}

TEST(AdmitBlockingTest, MovedLoopHandsItsPermitOverOnce) {
  const auto core = make_core({.sec = 1, .max_burst = 3});
  const auto now = utc(12, 0, 0);
  ASSERT_EQ(try_admit(core, now), Admission::admitted);
  {
    AdmissionLoop first(core);
    ASSERT_EQ(first.next(now).kind, Kind::sleep);
    AdmissionLoop second(std::move(first));
    EXPECT_EQ(core.burst_in_use().load(), 2u);
    AdmissionLoop third(core);
    ASSERT_EQ(third.next(now).kind, Kind::sleep);
    ASSERT_EQ(core.burst_in_use().load(), 3u);
    third = std::move(second);
    EXPECT_EQ(core.burst_in_use().load(), 2u) << "the overwritten loop gave its permit back";
  }
  EXPECT_EQ(core.burst_in_use().load(), 1u);
}

TEST(AdmitBlockingTest, LoopNeverRefusesEvenForANonBlockingLimiter) {
  FakeClock clock{utc(12, 0, 0, 900ms)};
  const auto core = make_core({.sec = 1, .blocking = false});
  ASSERT_EQ(try_admit(core, clock.now), Admission::admitted);
  std::vector<std::uint32_t> steps;
  EXPECT_EQ(admit_blocking(core, clock, RecordingSleep{clock, steps}), Admission::admitted);
  EXPECT_FALSE(steps.empty());
  EXPECT_EQ(core.burst_in_use().load(), 0u);
}

}  // namespace
}  // namespace quellgate::engine
