#pragma once
// How threads and jobs sleep between the attempts of a waiting admission:
// parked on the limiter's waiter list, so that a release (for a burst wait,
// in any process when the limiter's home watches releases) or the interrupt
// flag ends the sleep early, and the step's end (a backoff step, or for a
// burst waiter that does not poll, none) ends it otherwise. No Python here:
// the interpreter's signal handlers come in through the thread's watch.
#include <chrono>

#include "engine/admission.hpp"
#include "engine/limiter_core.hpp"
#include "engine/waiters.hpp"
#include "executor/clock.hpp"
#include "executor/task.hpp"
#include "executor/wake_signal.hpp"
#include "frame/error.hpp"
#include "limiters/admission_request.hpp"
#include "limiters/sleep_for_release_elsewhere.hpp"

namespace quellgate {

// A thread sleeping on a limiter, woken through its futex word.
class ThreadWaiter final : public engine::Waiter {
 public:
  void wake() noexcept override { signal_.wake(); }
  executor::WakeSignal& signal() noexcept { return signal_; }

 private:
  executor::WakeSignal signal_;
};

// One sleep of a thread's admission, for admit_blocking; true when it ends
// the admission interrupted. The watch decides about signals:
//   watch.wake_by(now, step_end) -> the monotonic instant this wait must end
//     by, at the latest step_end;
//   watch.after_wait(waited, signal_arrived) -> true to end interrupted;
//     called after every wait that a wake did not end.
template <class Watch>
bool sleep_on_limiter(const engine::AdmissionStep& step, const engine::LimiterCore& core, Watch& watch) {
  const bool for_release_in_home = core.home() != nullptr && step.wake_on == engine::WakeOn::release_or_interrupt;
  if (for_release_in_home && !core.home()->watches_releases()) return sleep_for_release_elsewhere(step, core, watch);
  const std::chrono::nanoseconds step_end = executor::monotonic_now() + std::chrono::milliseconds(step.sleep_ms);
  ThreadWaiter waiter;
  engine::WaitEnrolment enrolment(core, waiter, step.wake_on);
  // Any end but the watch's makes a fresh attempt; after the watch's, a
  // wake that came meanwhile goes on to another waiter.
  const auto try_again = [&enrolment] {
    enrolment.will_try_again();
    return false;
  };
  if (!engine::sleep_still_needed(core, step)) return try_again();
  // A release in another process reaches this thread only through the home.
  if (for_release_in_home) core.home()->watch_releases_for(core, step.releases_seen);
  for (;;) {
    const std::chrono::nanoseconds now = executor::monotonic_now();
    if (now >= step_end) return try_again();
    const auto end = waiter.signal().wait_until(watch.wake_by(now, step_end));
    if (end == executor::WakeSignal::WaitEnd::woken) return try_again();
    if (watch.after_wait(executor::monotonic_now() - now, end == executor::WakeSignal::WaitEnd::signal)) return true;
  }
}

// A watch for threads that run no signal handlers.
struct NoSignalWatch {
  std::chrono::nanoseconds wake_by(std::chrono::nanoseconds, std::chrono::nanoseconds step_end) const noexcept {
    return step_end;
  }
  bool after_wait(std::chrono::nanoseconds, bool) const noexcept { return false; }
};

// One sleep of a job's admission, on the executor's timer; a release (for a
// burst wait) or the interrupt flag ends it early. Only inside a job.
executor::Task<void> sleep_on_limiter_in_job(const engine::LimiterCore& core, engine::AdmissionStep step);

// The waiting admission as a job: admitted or interrupted, refused only once
// the request's deadline passed, or the home's failure when its lock cannot
// be had (see home_lock.hpp). Its sleeps are on the executor's timer,
// holding no thread; destroying the job mid-wait gives back any permit it
// took. When admitted, `decided_at` (if given; it must outlive the job)
// receives the reading that decided.
executor::Task<Result<engine::Admission>> admit_waiting_in_job(engine::LimiterCore core, AdmissionRequest request = {},
                                                               std::chrono::nanoseconds* decided_at = nullptr);

}  // namespace quellgate
