// A signal handled on a sleeping thread cuts its system call short (EINTR):
// a thread sleep goes back to sleep, a wake-signal wait reports it.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include "executor/clock.hpp"
#include "executor/thread_sleep.hpp"
#include "executor/wake_signal.hpp"
#include "test_support.hpp"

namespace quellgate::executor {
namespace {

using namespace testing;
using std::chrono::nanoseconds;
using WaitEnd = WakeSignal::WaitEnd;

nanoseconds time_of(void (*sleeper)(nanoseconds), nanoseconds duration) {
  const auto start = monotonic_now();
  sleeper(duration);
  return monotonic_now() - start;
}

const auto an_hour_from_now = [] { return monotonic_now() + std::chrono::hours(1); };

// Signals cut sleeps short with EINTR; both paths must go back to sleep.
class ThreadSleepUnderSignals : public ::testing::Test {
 protected:
  static void ignore_signal(int) {}

  void SetUp() override {
    struct sigaction action {};
    action.sa_handler = ignore_signal;  // no SA_RESTART: every signal interrupts
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, &previous_);
  }
  void TearDown() override { sigaction(SIGUSR1, &previous_, nullptr); }

  nanoseconds time_while_signalled(void (*sleeper)(nanoseconds), nanoseconds duration) {
    const pthread_t sleeping_thread = pthread_self();
    std::atomic<bool> done{false};
    std::thread pester([&] {
      while (!done.load(std::memory_order_acquire)) {
        pthread_kill(sleeping_thread, SIGUSR1);
        std::this_thread::sleep_for(1ms);
      }
    });
    const nanoseconds slept = time_of(sleeper, duration);
    done.store(true, std::memory_order_release);
    pester.join();
    return slept;
  }

  struct sigaction previous_ {};
};

TEST_F(ThreadSleepUnderSignals, HighResolutionSleepRetriesAfterEintr) {
  EXPECT_GE(time_while_signalled(thread_sleep, 40ms), 40ms);
}

TEST_F(ThreadSleepUnderSignals, MillisecondFallbackRetriesAfterEintr) {
  EXPECT_GE(time_while_signalled(sleep_whole_millis_rounded_up, 40ms), 40ms);
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

}  // namespace
}  // namespace quellgate::executor
