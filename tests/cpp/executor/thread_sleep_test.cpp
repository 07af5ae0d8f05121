#include "executor/thread_sleep.hpp"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quellgate::executor
