#include <time.h>

#include "executor/clock.hpp"

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

}  // namespace quellgate::executor
