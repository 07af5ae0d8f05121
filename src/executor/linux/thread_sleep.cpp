#include "executor/thread_sleep.hpp"

#include <poll.h>
#include <sched.h>
#include <time.h>

#include <cerrno>
#include <climits>
#include <limits>

#include "executor/clock.hpp"

namespace quellgate::executor {

namespace {

using std::chrono::nanoseconds;

timespec to_timespec(nanoseconds instant) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(instant);
  return timespec{static_cast<time_t>(seconds.count()), static_cast<long>((instant - seconds).count())};
}

nanoseconds saturating_add(nanoseconds a, nanoseconds b) {
  if (b > nanoseconds::max() - a) return nanoseconds::max();
  return a + b;
}

// Sleeping to an absolute deadline makes a retry after EINTR free of drift:
// the remaining time is never recomputed by hand.
bool sleep_until_monotonic(nanoseconds deadline) {
  const timespec target = to_timespec(deadline);
  int rc;
  do {
    rc = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &target, nullptr);
  } while (rc == EINTR);
  return rc == 0;
}

}  // namespace

void sleep_whole_millis_rounded_up(nanoseconds duration) {
  const std::uint64_t millis = whole_millis_rounded_up(duration);
  const nanoseconds deadline = saturating_add(
      monotonic_now(), millis > static_cast<std::uint64_t>(nanoseconds::max().count() / 1'000'000)
                           ? nanoseconds::max()
                           : nanoseconds(std::chrono::milliseconds(millis)));
  // poll() may be cut short by a signal; measure what is left and go again.
  for (nanoseconds now = monotonic_now(); now < deadline; now = monotonic_now()) {
    const std::uint64_t left = whole_millis_rounded_up(deadline - now);
    const int chunk = left > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(left);
    poll(nullptr, 0, chunk);
  }
}

void thread_sleep(nanoseconds duration) {
  if (duration <= nanoseconds::zero()) {
    sched_yield();
    return;
  }
  if (sleep_until_monotonic(saturating_add(monotonic_now(), duration))) return;
  sleep_whole_millis_rounded_up(duration);
}

}  // namespace quellgate::executor
