// Admission of a limiter whose counts live in a CountHome. The home decides
// all or nothing in one call, burst permit included, so a waiter holds no
// permit between its attempts: it sleeps for a release when the cap refused
// it, and for the rollover when a window did.
#include <optional>

#include "engine/admission.hpp"
#include "engine/backoff.hpp"
#include "engine/count_home.hpp"

namespace quellgate::engine {

Admission try_admit_at_home(const LimiterCore& core, std::chrono::nanoseconds now, std::uint64_t cost,
                            std::chrono::nanoseconds* decided_at) {
  const CountHome::Attempt attempt = core.home()->admit(now, core.max_burst().has_value(), cost);
  if (attempt.failed) return Admission::interrupted;
  if (!attempt.admitted) return Admission::refused;
  if (decided_at != nullptr) *decided_at = attempt.decided_at;
  return Admission::admitted;
}

AdmissionStep AdmissionLoop::next_at_home(std::chrono::nanoseconds now) {
  CountHome& home = *core_.home();
  // Read before the attempt: a release after it, and before the sleep,
  // changes it, and the sleep is then skipped.
  const std::uint32_t releases_seen = home.releases_seen();
  return after_attempt_at_home(home.admit(now, core_.max_burst().has_value(), cost_), releases_seen);
}

AdmissionStep AdmissionLoop::after_attempt_at_home(const CountHome::Attempt& attempt, std::uint32_t releases_seen) {
  if (attempt.failed) return interrupt();
  if (attempt.burst_refused) {
    // A home that wakes a waiter per release keeps the in-process scheme:
    // one poller per limiter in this process, the others sleep until woken.
    AdmissionStep step = core_.home()->watches_releases()
                             ? wait_for_permit()
                             : sleep_for(short_backoff_ms(attempt_), WakeOn::release_or_interrupt);
    step.releases_seen = releases_seen;
    return step;
  }
  stop_polling();
  if (attempt.admitted) return admitted(attempt.decided_at);
  return sleep_for(window_wait_step_ms(attempt.window_wait, attempt_), WakeOn::interrupt_only);
}

bool sleep_still_needed(const LimiterCore& core, const AdmissionStep& step) noexcept {
  if (core.home() == nullptr || step.wake_on != WakeOn::release_or_interrupt) return sleep_needed(core, step.wake_on);
  // A vacant poll role must be taken up before anyone sleeps unbounded (see
  // WaiterList::polling_vacant), as for an in-process limiter.
  if (core.home()->watches_releases() && core.waiters().polling_vacant()) return false;
  return !core.interrupted() && core.home()->releases_seen() == step.releases_seen;
}

}  // namespace quellgate::engine
