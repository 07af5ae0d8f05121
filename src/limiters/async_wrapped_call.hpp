#pragma once
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/limiter_core.hpp"
#include "frame/error.hpp"
#include "executor/executor.hpp"

namespace quellgate {

// One call of a decorated function, captured on the loop thread so that a
// worker can make it after admission.
struct WrappedCall {
  PyRef func;
  std::vector<PyRef> args;
  std::optional<std::vector<std::pair<std::string, PyRef>>> kwargs;
  // Anything else is a plain function, called on a blocking-pool thread.
  bool coroutine_function = false;

  // Lock held. A keyword that is not a str fails like a failed conversion.
  static Result<WrappedCall> capture(const PyRef& func, PyObject* args, PyObject* kwargs, bool coroutine_function);
};

// Refuses a keyword that is not a str, as a failed conversion, before the
// call takes a window place: every decorated call checks at its call. Lock
// held; `kwargs` is a dict or null.
Result<void> check_keywords_are_str(PyObject* kwargs);

// Admission ("Rate limit exceeded" when a non-blocking limiter refuses), the
// call (a plain function's on a blocking-pool thread, in a copy of the
// caller's context), and when it returns an awaitable, that awaitable run on
// the caller's loop in the caller's context. The burst permit goes back
// whatever the outcome, and for a plain function that started never before
// it returned; one cancelled while it waited for a thread never starts.
executor::Task<Result<PyRef>> run_wrapped_call(engine::LimiterCore core, WrappedCall call);

// A decorated call of anything that is not a coroutine function (and of a
// coroutine function called from a worker): admission, call and outcome in
// a job, as run_wrapped_call describes. Whether `func` is a coroutine
// function was decided once, at decoration. Lock held.
Result<PyRef> call_through_job(const engine::LimiterCore& core, const PyRef& func, PyObject* args, PyObject* kwargs,
                               bool coroutine_function);

}  // namespace quellgate
