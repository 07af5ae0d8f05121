#pragma once
#include "engine/limiter_core.hpp"
#include "frame/error.hpp"

namespace quellgate {

// asyncio.iscoroutinefunction(func), asked once when a function is
// decorated; an error in asking counts as "no" (the call then takes the
// plain way, which awaits whatever awaitable the function returns).
bool is_coroutine_function(PyObject* func);

// A decorated call of a coroutine function. Admitted at once on the loop's
// thread: the function is called right there in the caller's context and
// its coroutine becomes a task of the running loop, which is the Future
// returned. Otherwise the admission waits in a job and the same happens on
// the loop when it lands. Either way the Future follows the task: cancelling
// it cancels the task (its finally blocks run), and the burst permit goes
// back only once the task has ended. A body that raises after its Future was
// cancelled leaves its exception to the loop's exception handler, as any
// orphaned task's. Lock held.
Result<PyRef> call_coroutine_function(const engine::LimiterCore& core, const PyRef& func, PyObject* args, PyObject* kwargs);

}  // namespace quellgate
