#include "executor/wake_signal.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include "executor/clock.hpp"
#include "test_support.hpp"

namespace quellgate::executor {
namespace {

using namespace testing;
using WaitEnd = WakeSignal::WaitEnd;

const auto an_hour_from_now = [] { return monotonic_now() + std::chrono::hours(1); };

TEST(WakeSignalTest, AnEarlierWakeEndsEverySleepAtOnceAndADeadlineEndsAnUnwokenOne) {
  WakeSignal unwoken;
  const auto deadline = monotonic_now() + 5ms;
  EXPECT_EQ(unwoken.wait_until(deadline), WaitEnd::deadline);
  EXPECT_GE(monotonic_now(), deadline);
  WakeSignal woken;
  woken.wake();
  EXPECT_EQ(woken.wait_until(an_hour_from_now()), WaitEnd::woken);
  EXPECT_EQ(woken.wait_until(an_hour_from_now()), WaitEnd::woken);
}

std::atomic<int> handled{0};
void count_signal(int) { handled.fetch_add(1); }

TEST(WakeSignalTest, ASignalHandledOnTheSleepingThreadEndsItsSleep) {
  struct sigaction action {};
  action.sa_handler = count_signal;  // no SA_RESTART, as the interpreter installs its handlers
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);
  WakeSignal signal;
  std::atomic<bool> done{false};
  WaitEnd end = WaitEnd::woken;
  std::thread sleeper([&] {
    end = signal.wait_until(an_hour_from_now());
    done.store(true);
  });
  // Signals may land before the sleep begins; keep sending until it ends.
  EXPECT_TRUE(eventually([&] {
    if (!done.load()) pthread_kill(sleeper.native_handle(), SIGUSR2);
    return done.load();
  }));
  sleeper.join();
  EXPECT_EQ(end, WaitEnd::signal);
  EXPECT_GE(handled.load(), 1);
  sigaction(SIGUSR2, &previous, nullptr);
}

Task<bool> woken_before_the_await() {
  Sleep hour = sleep(std::chrono::hours(1));
  hour.wake_early();
  co_await hour;  // must not suspend
  co_return true;
}

TEST(SleepWakeEarlyTest, ASleepWokenBeforeItsAwaitDoesNotSuspend) {
  BackgroundExecutor executor({.worker_threads = 1});
  const auto outcome = run_to_end(executor, woken_before_the_await());
  ASSERT_TRUE(outcome.has_value());
  EXPECT_TRUE(outcome->value());
}

}  // namespace
}  // namespace quellgate::executor
