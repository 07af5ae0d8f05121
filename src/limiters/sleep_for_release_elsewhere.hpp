#pragma once
// A thread's sleep for a burst permit of a limiter whose counts live in a
// CountHome that does not watch releases (a server): on the home's own
// release count, ending at the end of the backoff step. The interrupt flag set by another thread cannot end this sleep; it
// is seen at the end of the backoff step, at most 100 ms later.
#include <chrono>

#include "engine/admission.hpp"
#include "engine/count_home.hpp"
#include "engine/limiter_core.hpp"
#include "executor/clock.hpp"

namespace quellgate {

// As sleep_on_limiter (limiter_waits.hpp), whose watch it takes.
template <class Watch>
bool sleep_for_release_elsewhere(const engine::AdmissionStep& step, const engine::LimiterCore& core, Watch& watch) {
  using SleepEnd = engine::CountHome::SleepEnd;
  const std::chrono::nanoseconds step_end = executor::monotonic_now() + std::chrono::milliseconds(step.sleep_ms);
  while (engine::sleep_still_needed(core, step)) {
    const std::chrono::nanoseconds now = executor::monotonic_now();
    if (now >= step_end) return false;
    const SleepEnd end = core.home()->sleep_until_release(step.releases_seen, watch.wake_by(now, step_end));
    if (end == SleepEnd::released) return false;
    if (watch.after_wait(executor::monotonic_now() - now, end == SleepEnd::signal)) return true;
  }
  return false;
}

}  // namespace quellgate
