#pragma once
#include <chrono>

#include "engine/limiter_core.hpp"
#include "frame/error.hpp"
#include "limiters/admission_request.hpp"

namespace quellgate {

// One admission on the calling thread, with the interpreter lock released
// for all of it: true when admitted, false when a non-blocking limiter
// refuses. A wait sleeps parked on the limiter (see limiter_waits.hpp) and,
// on the main thread, runs the signal handlers every 500 ms of waiting.
// Ends with KeyboardInterrupt "Operation interrupted" when the wait was
// interrupted (Ctrl+C here or on another thread's wait), and with a signal
// handler's own exception when it raised anything else. An admission that
// ends in an exception holds no permit. With a request: its cost, and a
// refusal waits as it says, false once its deadline passed; when admitted,
// `decided_at` (if given) receives the reading that decided, for settle().
Result<bool> admit_on_this_thread(const engine::LimiterCore& core);
Result<bool> admit_on_this_thread(const engine::LimiterCore& core, const AdmissionRequest& request,
                                  std::chrono::nanoseconds* decided_at = nullptr);

PyError operation_interrupted();

// The exception a signal handler left pending (lock held): KeyboardInterrupt
// becomes operation_interrupted() and sets the limiter's interrupt flag,
// ending its other waits; anything else goes on as it is.
PyError signal_handler_error(const engine::LimiterCore& core);

// What an admission that ended interrupted raises: operation_interrupted(),
// unless the limiter's CountHome could not decide, which raises its failure
// (OSError, ValueError or StorageError; see storage_error.hpp).
PyError interruption_of(const engine::LimiterCore& core);

}  // namespace quellgate
