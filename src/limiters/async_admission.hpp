#pragma once
#include <optional>

#include "bridge/ready_future.hpp"
#include "engine/admission.hpp"
#include "engine/burst.hpp"
#include "engine/count_home.hpp"
#include "engine/limiter_core.hpp"
#include "frame/error.hpp"
#include "executor/clock.hpp"
#include "executor/executor.hpp"
#include "limiters/admission_request.hpp"
#include "limiters/blocking_admission.hpp"
#include "limiters/home_lock.hpp"
#include "limiters/server_attempt.hpp"

namespace quellgate {

// An admission as a job: the permit when admitted, nothing when a
// non-blocking limiter refuses, KeyboardInterrupt "Operation interrupted"
// when the window table is broken, and the home's failure when its lock
// cannot be had (see home_lock.hpp). Waits sleep on the executor's timer and
// hold no thread; a release ends a burst wait's sleep early. Destroying the
// job mid-wait gives back any permit it took. With a request: its cost, and
// a refusal waits as it says, nothing once its deadline passed; when
// admitted, `decided_at` (if given; it must outlive the job) receives the
// reading that decided.
executor::Task<Result<std::optional<engine::BurstPermit>>> admit_in_job(engine::LimiterCore core,
                                                                        AdmissionRequest request = {},
                                                                        std::chrono::nanoseconds* decided_at = nullptr);

// The first attempt of an admission, made at the call on the loop's own
// thread with the interpreter lock held. try_admit takes the window table's
// lock and lets it go within one pass, never waiting for the interpreter lock
// meanwhile, so a worker holding the table cannot deadlock with this thread.
//   admitted(BurstPermit) -> the Future of an immediate admission;
//   wait() -> the Future of a job that waits, when a blocking limiter refuses;
//   refusal() -> a non-blocking refusal's outcome, which completes on the
//     loop's next iteration so that a task polling it lets others run.
// An interruption comes back already completed. With a request, as
// admit_in_job; `decided_at` is set before admitted() runs.
template <class Admitted, class Wait, class Refusal>
Result<PyRef> first_attempt_on_loop(const engine::LimiterCore& core, PyObject* event_loop, Admitted admitted, Wait wait,
                                    Refusal refusal, const AdmissionRequest& request = kPlainRequest,
                                    std::chrono::nanoseconds* decided_at = nullptr) {
  // A home that must ask a server is never asked on the loop's thread.
  if (asks_a_server(core)) [[unlikely]] return wait();
  switch (engine::try_admit(core, executor::wall_now(), request.cost, decided_at)) {
    case engine::Admission::admitted:
      return admitted(engine::BurstPermit(core));
    case engine::Admission::refused:
      if (request.waits_on(core)) return wait();
      return bridge::future_completed_soon(event_loop, refusal());
    case engine::Admission::interrupted:
      // The home's lock was held: the loop's thread never waits for it.
      if (lock_was_busy(core)) [[unlikely]] return wait();
      break;
  }
  return bridge::completed_future(event_loop, std::unexpected(interruption_of(core)));
}

}  // namespace quellgate
