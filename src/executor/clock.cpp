#include "executor/clock.hpp"

#include <time.h>

#include <limits>

namespace quellgate::executor {

namespace {

std::chrono::nanoseconds read_clock(clockid_t clock) {
  timespec now{};
  // Both clocks exist on every Linux we run on; clock_gettime only fails for
  // an invalid clock id, which would be a programming error caught in tests.
  clock_gettime(clock, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

}  // namespace

std::chrono::nanoseconds monotonic_now() { return read_clock(CLOCK_MONOTONIC); }

std::chrono::nanoseconds wall_now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return wall_reading_from(now.tv_sec, now.tv_nsec);
}

std::chrono::nanoseconds wall_reading_from(long long seconds, long nanos) {
  using Rep = std::chrono::nanoseconds::rep;
  if (seconds < 0) return std::chrono::nanoseconds::zero();
  constexpr Rep kMaxSeconds = std::numeric_limits<Rep>::max() / 1'000'000'000 - 1;
  if (seconds > kMaxSeconds) return std::chrono::nanoseconds::max();
  return std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanos);
}

}  // namespace quellgate::executor
