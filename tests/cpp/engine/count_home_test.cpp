#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "engine/admission.hpp"
#include "engine/burst.hpp"
#include "engine/count_home.hpp"
#include "engine/report.hpp"
#include "fake_clock.hpp"

namespace quellgate::engine {
namespace {

using namespace std::chrono_literals;
using testing::make_core;
using testing::utc;

CountHome::Attempt answer(bool admitted, bool burst_refused, std::optional<std::chrono::nanoseconds> window_wait,
                          bool failed) {
  return {admitted, burst_refused, window_wait, failed};
}
const CountHome::Attempt admitted = answer(true, false, std::nullopt, false);
const CountHome::Attempt burst_refused = answer(false, true, std::nullopt, false);
const CountHome::Attempt failed = answer(false, false, std::nullopt, true);

// A home that answers what the test scripts and records what it was asked.
struct ScriptedHome final : CountHome {
  std::vector<Attempt> answers;  // taken from the front; admitted once empty
  std::vector<bool> permits_asked;
  int releases = 0;
  std::uint32_t release_count = 7;
  std::uint64_t count_in_each_window = 0;

  Attempt admit(std::chrono::nanoseconds, bool take_permit, std::uint64_t) override {
    permits_asked.push_back(take_permit);
    if (answers.empty()) return admitted;
    const Attempt answer = answers.front();
    answers.erase(answers.begin());
    return answer;
  }
  void settle(std::chrono::nanoseconds, std::int64_t) noexcept override {}
  void release_permit() noexcept override {
    ++releases;
    ++release_count;
  }
  std::optional<std::uint64_t> burst_remaining() override { return 1; }
  void read_windows(std::chrono::nanoseconds, std::span<WindowState> windows) override {
    for (WindowState& window : windows) window.count = count_in_each_window;
  }
  std::optional<std::chrono::nanoseconds> window_wait(std::chrono::nanoseconds) override { return 250ms; }
  std::uint32_t releases_seen() const noexcept override { return release_count; }
  SleepEnd sleep_until_release(std::uint32_t, std::chrono::nanoseconds) noexcept override { return SleepEnd::timed_out; }
  void watch_releases_for(const LimiterCore&, std::uint32_t) override {}
  bool watching = false;
  int passed_on = 0;
  bool watches_releases() const noexcept override { return watching; }
  void pass_release_on() noexcept override { ++passed_on; }
  HomeFailure failure() const override { return {HomeFailure::Kind::os, "scripted"}; }
};

struct HomedCore {
  LimiterCore core;
  ScriptedHome* home;
};

HomedCore homed(const LimitArgs& args) {
  LimiterCore core = make_core(args);
  auto home = std::make_unique<ScriptedHome>();
  ScriptedHome* raw = home.get();
  core.attach_home(std::move(home));
  return {core, raw};
}

TEST(CountHomeTest, AnAttemptIsTheHomesAllOrNothingAndAFailureEndsItInterrupted) {
  auto [core, home] = homed({.sec = 1, .max_burst = 1});
  home->answers = {burst_refused, failed};
  EXPECT_EQ(try_admit(core, utc(12, 0, 0)), Admission::refused);
  EXPECT_EQ(try_admit(core, utc(12, 0, 0)), Admission::interrupted);
  EXPECT_EQ(try_admit(core, utc(12, 0, 0)), Admission::admitted);
  EXPECT_EQ(home->permits_asked, (std::vector<bool>{true, true, true}));
  // The in-process table saw none of it.
  EXPECT_EQ(core.burst_in_use().load(), 0u);
}

TEST(CountHomeTest, ABurstRefusalSleepsUntilTheReleaseCountReadBeforeTheAttemptMoves) {
  auto [core, home] = homed({.sec = 5, .max_burst = 1});
  home->answers = {burst_refused};
  AdmissionLoop loop(core);
  const AdmissionStep step = loop.next(utc(12, 0, 0));
  ASSERT_EQ(step.kind, AdmissionStep::Kind::sleep);
  EXPECT_EQ(step.wake_on, WakeOn::release_or_interrupt);
  EXPECT_EQ(step.releases_seen, 7u);
  EXPECT_TRUE(sleep_still_needed(core, step));
  release_burst(core);
  EXPECT_EQ(home->releases, 1);
  EXPECT_FALSE(sleep_still_needed(core, step));
  EXPECT_EQ(loop.next(utc(12, 0, 0)).kind, AdmissionStep::Kind::admitted);
}

struct SilentWaiter final : Waiter {
  void wake() noexcept override {}
};

TEST(CountHomeTest, AHomeThatWatchesReleasesKeepsOnePollerAndPassesAnUnusedWakeOn) {
  auto [core, home] = homed({.sec = 5, .max_burst = 1});
  home->watching = true;
  home->answers = {burst_refused, burst_refused};
  AdmissionLoop first(core), second(core);
  EXPECT_EQ(first.next(utc(12, 0, 0)).sleep_ms, 10u) << "the poller";
  EXPECT_EQ(second.next(utc(12, 0, 0)).sleep_ms, until_woken_ms);
  {
    SilentWaiter waiter;
    const WaitEnrolment enrolment(core, waiter, WakeOn::release_or_interrupt);
    core.waiters().wake_one_burst_waiter();
  }  // woken, and leaves without trying, with no other waiter in this process
  EXPECT_EQ(home->passed_on, 1);
}

TEST(CountHomeTest, AWindowRefusalSleepsUntilTheRolloverTheHomeMeasured) {
  auto [core, home] = homed({.sec = 5});
  home->answers = {answer(false, false, 40ms, false)};
  AdmissionLoop loop(core);
  const AdmissionStep step = loop.next(utc(12, 0, 0));
  EXPECT_EQ(step.wake_on, WakeOn::interrupt_only);
  EXPECT_EQ(step.sleep_ms, 10u);  // the first backoff step is shorter than the wait
  EXPECT_EQ(home->permits_asked, std::vector<bool>{false});
}

TEST(CountHomeTest, ReportsReadTheHomesCountsUnderTheCoresWindowNames) {
  auto [core, home] = homed({.sec = 5, .min = 9, .max_burst = 2});
  home->count_in_each_window = 3;
  const RemainingReport report = report_remaining(core, utc(12, 0, 0));
  EXPECT_EQ(report.find("second"), 2u);
  EXPECT_EQ(report.find("minute"), 6u);
  EXPECT_EQ(report.find("burst"), 1u);
  EXPECT_EQ(compute_wait(core, utc(12, 0, 0)), 250ms);
}

}  // namespace
}  // namespace quellgate::engine
