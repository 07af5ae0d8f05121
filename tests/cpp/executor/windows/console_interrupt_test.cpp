#include "executor/windows/console_interrupt.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "executor/clock.hpp"
#include "executor/wake_signal.hpp"
#include "test_support.hpp"

namespace quellgate::executor {
namespace {

using namespace testing;
using WaitEnd = WakeSignal::WaitEnd;

// Ctrl+C on Windows is no signal: nothing cuts a sleeping thread's wait
// short unless the console control handler wakes it. The interrupt may come
// before the sleep has begun, so it is delivered until the sleep ends.
TEST(ConsoleInterrupt, EndsAWakeSignalSleepAsASignalAndOnlyThatSleep) {
  WakeSignal signal;
  std::atomic<bool> done{false};
  WaitEnd end = WaitEnd::woken;
  std::thread sleeper([&] {
    end = signal.wait_until(monotonic_now() + std::chrono::hours(1));
    done.store(true);
  });
  const bool ended = eventually([&] {
    if (!done.load()) windows::deliver_console_interrupt();
    return done.load();
  });
  if (!ended) signal.wake();  // lets the sleeper go, so the failure is reported, not hung
  sleeper.join();
  ASSERT_TRUE(ended) << "the interrupt never reached the sleeper";
  EXPECT_EQ(end, WaitEnd::signal);
  // The interrupt is spent: a later sleep runs to its deadline, and a wake
  // still reads as a wake.
  EXPECT_EQ(signal.wait_until(monotonic_now() + 5ms), WaitEnd::deadline);
  signal.wake();
  EXPECT_EQ(signal.wait_until(monotonic_now() + std::chrono::hours(1)), WaitEnd::woken);
}

}  // namespace
}  // namespace quellgate::executor
