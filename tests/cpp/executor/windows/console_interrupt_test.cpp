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
  EXPECT_TRUE(eventually([&] {
    if (!done.load()) windows::deliver_console_interrupt();
    return done.load();
  }));
  sleeper.join();
  EXPECT_EQ(end, WaitEnd::signal);
  // The interrupt is spent: a later sleep runs to its deadline, and a wake
  // still reads as a wake.
  EXPECT_EQ(signal.wait_until(monotonic_now() + 5ms), WaitEnd::deadline);
  signal.wake();
  EXPECT_EQ(signal.wait_until(monotonic_now() + std::chrono::hours(1)), WaitEnd::woken);
}

// The handler the first sleep installs is the one the console calls: a real
// Ctrl+C event reaches a sleeper. A process without a console cannot raise
// one, and says so.
BOOL WINAPI swallow_ctrl_c(DWORD event) { return event == CTRL_C_EVENT; }

TEST(ConsoleInterrupt, ARealCtrlCEventReachesTheSleeper) {
  if (GetConsoleWindow() == nullptr && !AttachConsole(ATTACH_PARENT_PROCESS) && !AllocConsole()) {
    GTEST_SKIP() << "no console to raise Ctrl+C in";
  }
  // Installed first, so it runs after ours and keeps the event from ending
  // the test process.
  ASSERT_TRUE(SetConsoleCtrlHandler(swallow_ctrl_c, TRUE));
  SetConsoleCtrlHandler(nullptr, FALSE);  // Ctrl+C is not ignored in this process
  WakeSignal signal;
  std::atomic<bool> done{false};
  WaitEnd end = WaitEnd::woken;
  std::thread sleeper([&] {
    end = signal.wait_until(monotonic_now() + std::chrono::hours(1));
    done.store(true);
  });
  EXPECT_TRUE(eventually([&] {
    if (!done.load()) GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    return done.load();
  }));
  sleeper.join();
  EXPECT_EQ(end, WaitEnd::signal);
  SetConsoleCtrlHandler(swallow_ctrl_c, FALSE);
}

}  // namespace
}  // namespace quellgate::executor
