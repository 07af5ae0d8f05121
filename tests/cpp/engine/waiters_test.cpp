#include "engine/waiters.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "engine/admission.hpp"
#include "engine/burst.hpp"
#include "fake_clock.hpp"

namespace quellgate::engine {
namespace {

using testing::make_core;
using testing::utc;

constexpr std::uint64_t never_full = std::numeric_limits<std::uint64_t>::max();

// Writes its name to a shared log when woken.
struct NamedWaiter final : Waiter {
  NamedWaiter(std::string who, std::vector<std::string>& woken) : name(std::move(who)), log(woken) {}
  void wake() noexcept override { log.push_back(name); }
  std::string name;
  std::vector<std::string>& log;
};

TEST(WaiterListTest, AReleaseWakesOneBurstWaiterOldestFirstAndNeverAWindowWaiter) {
  const auto core = make_core({.sec = never_full, .max_burst = 1});
  ASSERT_EQ(try_admit(core, utc(12, 0, 0)), Admission::admitted);
  std::vector<std::string> woken;
  NamedWaiter window("window", woken), first("first", woken), second("second", woken);
  WaitEnrolment on_window(core, window, WakeOn::interrupt_only);
  WaitEnrolment on_first(core, first, WakeOn::release_or_interrupt);
  WaitEnrolment on_second(core, second, WakeOn::release_or_interrupt);

  release_burst(core);
  EXPECT_EQ(woken, (std::vector<std::string>{"first"}));
  release_burst(core);  // nothing held: no permit came back, nobody is woken
  EXPECT_EQ(woken, (std::vector<std::string>{"first"}));
  ASSERT_EQ(try_admit(core, utc(12, 0, 0)), Admission::admitted);
  release_burst(core);
  EXPECT_EQ(woken, (std::vector<std::string>{"first", "second"}));
  EXPECT_FALSE(core.waiters().has_burst_waiters());
  ASSERT_EQ(try_admit(core, utc(12, 0, 0)), Admission::admitted);
  release_burst(core);
  EXPECT_EQ(woken.size(), 2u) << "the window waiter is not woken by a release";
}

TEST(WaiterListTest, TheInterruptFlagWakesEveryWaiterOnceAndAWithdrawnOneNever) {
  const auto core = make_core({.sec = 5, .max_burst = 2});
  std::vector<std::string> woken;
  NamedWaiter window("window", woken), burst("burst", woken), gone("gone", woken);
  WaitEnrolment on_window(core, window, WakeOn::interrupt_only);
  WaitEnrolment on_burst(core, burst, WakeOn::release_or_interrupt);
  {
    WaitEnrolment on_gone(core, gone, WakeOn::release_or_interrupt);
  }
  core.set_interrupt();
  EXPECT_EQ(woken, (std::vector<std::string>{"burst", "window"}));
  core.set_interrupt();
  EXPECT_EQ(woken.size(), 2u) << "woken waiters left the list";
  EXPECT_FALSE(core.waiters().has_burst_waiters());
}

TEST(WaiterListTest, AWaiterThatJustEnlistedSleepsOnlyWhileNothingItWaitsForHasHappened) {
  const auto core = make_core({.sec = never_full, .max_burst = 1});
  ASSERT_EQ(try_admit(core, utc(12, 0, 0)), Admission::admitted);
  EXPECT_FALSE(sleep_needed(core, WakeOn::release_or_interrupt)) << "nobody polls: it must take that up";
  ASSERT_TRUE(core.waiters().claim_polling());
  EXPECT_TRUE(sleep_needed(core, WakeOn::release_or_interrupt));
  EXPECT_TRUE(sleep_needed(core, WakeOn::interrupt_only));
  // A permit came back between the waiter's failed attempt and its enlisting.
  release_burst(core);
  EXPECT_FALSE(sleep_needed(core, WakeOn::release_or_interrupt));
  EXPECT_TRUE(sleep_needed(core, WakeOn::interrupt_only)) << "a window waiter holds its permit already";
  core.set_interrupt();
  EXPECT_FALSE(sleep_needed(core, WakeOn::interrupt_only));
  core.clear_interrupt();
  EXPECT_TRUE(sleep_needed(core, WakeOn::interrupt_only));
}

TEST(WaiterListTest, OneBurstWaiterPollsTheOthersSleepUntilWokenAndOneTakesOverWhenItLeaves) {
  const auto core = make_core({.sec = never_full, .max_burst = 1});
  ASSERT_EQ(try_admit(core, utc(12, 0, 0)), Admission::admitted);
  std::optional<AdmissionLoop> poller(std::in_place, core);
  AdmissionLoop other(core);
  EXPECT_EQ(poller->next(utc(12, 0, 0)).sleep_ms, 10u);
  EXPECT_EQ(other.next(utc(12, 0, 0)).sleep_ms, until_woken_ms);
  std::vector<std::string> woken;
  NamedWaiter sleeper("other", woken);
  WaitEnrolment on_other(core, sleeper, WakeOn::release_or_interrupt);
  poller.reset();
  EXPECT_EQ(woken, (std::vector<std::string>{"other"}));
  EXPECT_EQ(other.next(utc(12, 0, 0)).sleep_ms, 20u) << "it polls now";
}

TEST(WaiterListTest, ABurstWaiterWokenThatWillNotTryAgainPassesTheWakeOn) {
  const auto core = make_core({.sec = never_full, .max_burst = 1});
  ASSERT_EQ(try_admit(core, utc(12, 0, 0)), Admission::admitted);
  std::vector<std::string> woken;
  NamedWaiter first("first", woken), second("second", woken);
  std::optional<WaitEnrolment> on_first(std::in_place, core, first, WakeOn::release_or_interrupt);
  WaitEnrolment on_second(core, second, WakeOn::release_or_interrupt);
  release_burst(core);
  on_first.reset();  // its job was cancelled, or a signal handler ended its thread's wait
  EXPECT_EQ(woken, (std::vector<std::string>{"first", "second"}));
}

}  // namespace
}  // namespace quellgate::engine
