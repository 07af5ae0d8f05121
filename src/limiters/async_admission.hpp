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
#include "limiters/blocking_admission.hpp"
#include "limiters/home_lock.hpp"
#include "limiters/server_attempt.hpp"

namespace quellgate {

// An admission as a job: the permit when admitted, nothing when a
// non-blocking limiter refuses, KeyboardInterrupt "Operation interrupted"
// when the window table is broken, and the home's failure when its lock
// cannot be had (see home_lock.hpp). Waits sleep on the executor's timer and
// hold no thread; a release ends a burst wait's sleep early. Destroying the
// job mid-wait gives back any permit it took.
executor::Task<Result<std::optional<engine::BurstPermit>>> admit_in_job(engine::LimiterCore core);

// The first attempt of an admission, made at the call on the loop's own
// thread with the interpreter lock held. try_admit takes the window table's
// lock and lets it go within one pass, never waiting for the interpreter lock
// meanwhile, so a worker holding the table cannot deadlock with this thread.
//   admitted(BurstPermit) -> the Future of an immediate admission;
//   wait() -> the Future of a job that waits, when a blocking limiter refuses;
//   refusal() -> a non-blocking refusal's outcome, which completes on the
//     loop's next iteration so that a task polling it lets others run.
// An interruption comes back already completed.
template <class Admitted, class Wait, class Refusal>
Result<PyRef> first_attempt_on_loop(const engine::LimiterCore& core, PyObject* event_loop, Admitted admitted, Wait wait,
                                    Refusal refusal) {
  // A home that must ask a server is never asked on the loop's thread.
  if (asks_a_server(core)) [[unlikely]] return wait();
  switch (engine::try_admit(core, executor::wall_now())) {
    case engine::Admission::admitted:
      return admitted(engine::BurstPermit(core));
    case engine::Admission::refused:
      if (core.blocking()) return wait();
      return bridge::future_completed_soon(event_loop, refusal());
    case engine::Admission::interrupted:
      // The home's lock was held: the loop's thread never waits for it.
      if (lock_was_busy(core)) [[unlikely]] return wait();
      break;
  }
  return bridge::completed_future(event_loop, std::unexpected(interruption_of(core)));
}

}  // namespace quellgate
