#include "executor/wake_signal.hpp"

#include <gtest/gtest.h>

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
