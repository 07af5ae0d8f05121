#include "executor/thread_sleep.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <thread>

#include "executor/clock.hpp"

namespace quellgate::executor {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;

nanoseconds time_of(void (*sleeper)(nanoseconds), nanoseconds duration) {
  const auto start = monotonic_now();
  sleeper(duration);
  return monotonic_now() - start;
}

TEST(ThreadSleep, NeverReturnsBeforeTheDuration) {
  for (nanoseconds duration : {1ns, 250'000ns, 2'500'000ns, 10'000'000ns}) {
    EXPECT_GE(time_of(thread_sleep, duration), duration) << duration.count() << " ns";
  }
}

TEST(ThreadSleep, ZeroOrNegativeOnlyYields) {
  EXPECT_LT(time_of(thread_sleep, 0ns), 1s);
  EXPECT_LT(time_of(thread_sleep, -5s), 1s);
}

TEST(ThreadSleepFallback, RoundsUpToWholeMilliseconds) {
  EXPECT_EQ(whole_millis_rounded_up(0ns), 0u);
  EXPECT_EQ(whole_millis_rounded_up(1ns), 1u);
  EXPECT_EQ(whole_millis_rounded_up(1ms), 1u);
  EXPECT_EQ(whole_millis_rounded_up(2'500'000ns), 3u);
  EXPECT_EQ(whole_millis_rounded_up(10ms), 10u);
  EXPECT_EQ(whole_millis_rounded_up(10ms + 1ns), 11u);
  EXPECT_GE(time_of(sleep_whole_millis_rounded_up, 2'500'000ns), 3ms);
}

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

}  // namespace
}  // namespace quellgate::executor
