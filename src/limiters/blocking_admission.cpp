#include "limiters/blocking_admission.hpp"

#include <algorithm>
#include <chrono>
#include <optional>

#include "limiters/limiter_waits.hpp"
#include "engine/admission.hpp"
#include "executor/clock.hpp"
#include "executor/wait_watch.hpp"
#include "frame/gil.hpp"
#include "limiters/home_lock.hpp"
#include "limiters/interpreter_main_thread.hpp"
#include "limiters/server_attempt.hpp"
#include "limiters/storage_error.hpp"

namespace quellgate {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;

constexpr nanoseconds kSignalCheckEvery = 500ms;

// The interpreter runs signal handlers on its main thread only, so only a
// wait there watches for them: it runs them (taking the lock for that alone)
// once 500 ms of waiting have built up since they last ran, whatever the
// backoff steps, and at once when a signal cuts its sleep short. A handler
// that raises ends the wait (see signal_handler_error). Waits on other threads never
// take the lock, which also keeps a daemon thread's wait clear of
// interpreter finalisation.
class SignalWatch {
 public:
  // main_thread: whether this is the interpreter's main thread, looked up
  // with the lock held.
  SignalWatch(const engine::LimiterCore& core, bool main_thread) noexcept : core_(core), main_thread_(main_thread) {}

  nanoseconds wake_by(nanoseconds now, nanoseconds step_end) {
    if (!on_main_thread()) return step_end;
    return std::min(step_end, now + (kSignalCheckEvery - waited_));
  }

  bool after_wait(nanoseconds waited, bool signal_arrived) {
    if (!on_main_thread()) return false;
    waited_ += waited;
    if (!signal_arrived && waited_ < kSignalCheckEvery) return false;
    waited_ = 0ns;
    return handler_raised();
  }

  // What a handler raised during the wait; read with the lock held again.
  bool raised() const noexcept { return raised_.has_value(); }
  PyError take_raised() noexcept { return *std::move(raised_); }

 private:
  bool on_main_thread() const noexcept { return main_thread_; }

  bool handler_raised() {
    return gil::with_gil([this] {
      if (PyErr_CheckSignals() == 0) return false;
      raised_ = signal_handler_error(core_);
      return true;
    });
  }

  const engine::LimiterCore& core_;
  bool main_thread_;
  nanoseconds waited_{0};            // since the handlers last ran
  std::optional<PyError> raised_;    // set with the lock held, taken after the wait
};

// The signal watch as a wait on a server sees it (executor/wait_watch.hpp):
// the handlers run as in a sleep, and a thread that runs none ends its wait
// when Ctrl+C on the main thread sets the interrupt flag.
class ServerWaitWatch final : public executor::WaitWatch {
 public:
  ServerWaitWatch(SignalWatch& watch, const engine::LimiterCore& core) noexcept : watch_(watch), core_(core) {}
  nanoseconds check_within() noexcept override { return watch_.wake_by(0ns, kSignalCheckEvery); }
  bool stop(nanoseconds waited, bool signal_arrived) override {
    return watch_.after_wait(waited, signal_arrived) || core_.interrupted();
  }

 private:
  SignalWatch& watch_;
  const engine::LimiterCore& core_;
};

// Runs `attempts` with the lock released, their waits on the server
// watched by `watch`. Only for a limiter that asks a server.
template <class Attempts>
auto watched(const engine::LimiterCore& core, SignalWatch& watch, Attempts attempts) {
  return gil::without_gil([&] {
    ServerWaitWatch server_watch(watch, core);
    const executor::ScopedWaitWatch scoped(&server_watch);
    return attempts();
  });
}

// A waiting admission, with the lock released but where noted. Only one
// that has to sleep looks up the main thread for its watch, between its
// first attempt and its first sleep, so one admitted at once pays nothing
// for it. An admission that ends in an exception holds no permit: the
// loop gives back what it took.
Result<engine::Admission> admit_waiting(const engine::LimiterCore& core, const AdmissionRequest& request,
                                        std::chrono::nanoseconds* decided_at) {
  engine::AdmissionLoop loop(core, request.cost);
  bound_by_timeout(loop, request);
  const engine::AdmissionStep first = gil::without_gil([&] { return loop.next(executor::wall_now()); });
  engine::Admission outcome = engine::Admission::refused;
  switch (first.kind) {
    case engine::AdmissionStep::Kind::admitted:
      outcome = engine::Admission::admitted;
      break;
    case engine::AdmissionStep::Kind::interrupted:
      return engine::Admission::interrupted;
    case engine::AdmissionStep::Kind::refused:
      return engine::Admission::refused;
    case engine::AdmissionStep::Kind::sleep: {
      Result<bool> main_thread = on_interpreter_main_thread();
      if (!main_thread) return std::unexpected(std::move(main_thread.error()));
      SignalWatch watch(core, *main_thread);
      outcome = gil::without_gil([&] {
        return engine::drive_blocking(loop, first, core, executor::wall_now,
                                      [&watch](const engine::AdmissionStep& step, const engine::LimiterCore& limiter) {
                                        return sleep_on_limiter(step, limiter, watch);
                                      });
      });
      // A handler that raised during the wait already ended it, and the loop
      // gave its permit back.
      if (watch.raised()) return std::unexpected(watch.take_raised());
      break;
    }
  }
  if (outcome == engine::Admission::admitted && decided_at != nullptr) *decided_at = loop.decided_at();
  return outcome;
}

// The same for a limiter that asks a server: the watch is set up before
// the first attempt, whose wait on the server it watches too (a round trip
// dwarfs the look-up), and every attempt's wait is watched.
Result<engine::Admission> admit_waiting_at_server(const engine::LimiterCore& core, const AdmissionRequest& request,
                                                  std::chrono::nanoseconds* decided_at) {
  engine::AdmissionLoop loop(core, request.cost);
  bound_by_timeout(loop, request);
  Result<bool> main_thread = on_interpreter_main_thread();
  if (!main_thread) return std::unexpected(std::move(main_thread.error()));
  SignalWatch watch(core, *main_thread);
  const engine::Admission outcome = watched(core, watch, [&] {
    const engine::AdmissionStep first = loop.next(executor::wall_now());
    return engine::drive_blocking(loop, first, core, executor::wall_now,
                                  [&watch](const engine::AdmissionStep& step, const engine::LimiterCore& limiter) {
                                    return sleep_on_limiter(step, limiter, watch);
                                  });
  });
  if (watch.raised()) return std::unexpected(watch.take_raised());
  if (outcome == engine::Admission::admitted && decided_at != nullptr) *decided_at = loop.decided_at();
  return outcome;
}

// A signal handler raised just as the admission ended. The caller will see
// its exception and cannot know it was admitted, so the permit of this
// admission goes back; window counts stay.
Result<bool> raised_at_the_end(const engine::LimiterCore& core, engine::Admission outcome) {
  PyError raised = signal_handler_error(core);
  if (outcome == engine::Admission::admitted) engine::release_burst(core);
  return std::unexpected(std::move(raised));
}

// One admission, waiting when the request says; the interpreter lock is
// given up for all of it. (admit_on_this_thread spells it out: its result
// wrapped costs the in-process acquire() instructions.)
Result<engine::Admission> admit_once(const engine::LimiterCore& core, const AdmissionRequest& request,
                                     std::chrono::nanoseconds* decided_at) {
  if (request.waits_on(core)) return admit_waiting(core, request, decided_at);
  return gil::without_gil([&] { return engine::try_admit(core, executor::wall_now(), request.cost, decided_at); });
}

// What an admission's outcome gives its caller: a signal handler's exception
// first, then an interruption's error, else whether it was admitted.
[[gnu::always_inline]] inline Result<bool> finish(const engine::LimiterCore& core, engine::Admission outcome) {
  if (PyErr_CheckSignals() != 0) return raised_at_the_end(core, outcome);
  if (outcome == engine::Admission::interrupted) return std::unexpected(interruption_of(core));
  return outcome == engine::Admission::admitted;
}

// The admission found the home's lock held: nothing was decided and no
// permit is held. It waits for the lock (see home_lock.hpp) and starts over.
[[gnu::cold, gnu::noinline]] Result<bool> admit_after_lock_wait(const engine::LimiterCore& core,
                                                               const AdmissionRequest& request,
                                                               std::chrono::nanoseconds* decided_at) {
  for (;;) {
    if (auto waited = wait_for_home_lock(core); !waited) return std::unexpected(std::move(waited.error()));
    Result<engine::Admission> outcome = admit_once(core, request, decided_at);
    if (!outcome) return std::unexpected(std::move(outcome.error()));
    if (*outcome != engine::Admission::interrupted || !lock_was_busy(core)) return finish(core, *outcome);
  }
}

}  // namespace

PyError operation_interrupted() { return PyError::deferred(keyboard_interrupt, "Operation interrupted"); }

// KeyboardInterrupt becomes the limiter's own, with its fixed message, and
// sets the interrupt flag, which ends every other wait on the limiter: Ctrl+C
// means stop waiting. Anything else, such as a timeout's own exception or the
// SystemExit of a handler calling sys.exit(), goes on as it is and ends this
// wait alone.
PyError signal_handler_error(const engine::LimiterCore& core) {
  if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
    PyErr_Clear();
    core.set_interrupt();
    return operation_interrupted();
  }
  return take_pending_error();
}

PyError interruption_of(const engine::LimiterCore& core) {
  if (core.home() == nullptr || core.interrupted()) return operation_interrupted();
  return error_of(core.home()->failure());
}

namespace {

// Both admit_on_this_thread: inlined into each, so that the plain request's
// constants fold away from acquire() without arguments.
[[gnu::always_inline]] inline Result<bool> admit_as_requested(const engine::LimiterCore& core,
                                                              const AdmissionRequest& request,
                                                              std::chrono::nanoseconds* decided_at) {
  core.clear_interrupt();
  engine::Admission outcome;
  if (request.waits_on(core)) {
    Result<engine::Admission> waited = asks_a_server(core) ? admit_waiting_at_server(core, request, decided_at)
                                                           : admit_waiting(core, request, decided_at);
    if (!waited) return std::unexpected(std::move(waited.error()));
    outcome = *waited;
  } else if (asks_a_server(core)) {
    // As a waiting admission's first attempt: its wait on the server watched.
    Result<bool> main_thread = on_interpreter_main_thread();
    if (!main_thread) return std::unexpected(std::move(main_thread.error()));
    SignalWatch watch(core, *main_thread);
    outcome = watched(core, watch,
                      [&] { return engine::try_admit(core, executor::wall_now(), request.cost, decided_at); });
    if (watch.raised()) return std::unexpected(watch.take_raised());
  } else {
    outcome = gil::without_gil([&] { return engine::try_admit(core, executor::wall_now(), request.cost, decided_at); });
  }
  if (outcome == engine::Admission::interrupted && lock_was_busy(core)) [[unlikely]] {
    return admit_after_lock_wait(core, request, decided_at);
  }
  return finish(core, outcome);
}

}  // namespace

Result<bool> admit_on_this_thread(const engine::LimiterCore& core) {
  return admit_as_requested(core, kPlainRequest, nullptr);
}

Result<bool> admit_on_this_thread(const engine::LimiterCore& core, const AdmissionRequest& request,
                                  std::chrono::nanoseconds* decided_at) {
  return admit_as_requested(core, request, decided_at);
}

}  // namespace quellgate
