#pragma once
#include "frame/error.hpp"

namespace quellgate::bridge {

// Outcomes known at the call, on the loop's own thread (lock held):
// `event_loop` is always the loop running on the calling thread.

// A new instance of `future_type`, asyncio.Future or a subclass whose
// __init__ is Future's, for `event_loop`, the loop running on this thread.
Result<PyRef> future_of_class(PyObject* future_type, PyObject* event_loop);

// A Future of `event_loop` already completed with `outcome`'s value or
// exception, as asyncio.Lock and Semaphore complete when uncontended: the
// awaiting task goes on without yielding to the loop.
Result<PyRef> completed_future(PyObject* event_loop, Result<PyRef> outcome);

// A Future of `event_loop` completed with `result`, made once per loop and
// result and returned to every caller there: what an immediate __aenter__
// and __aexit__ return, for the `async with` statement to await and drop. A
// completed Future cannot change any more (cancel() returns False, a
// done-callback is scheduled at once and not kept), so sharing it shows in
// its identity alone. Keeps the last loop that asked alive until another
// loop asks.
enum class SharedResult { empty_tuple, false_value };
Result<PyRef> shared_completed_future(PyObject* event_loop, SharedResult result);

// A Future of `event_loop` completed on the loop's next iteration
// (loop.call_soon) unless it is cancelled first: for refusals, so that a
// task polling a refusing limiter still lets the other tasks run.
Result<PyRef> future_completed_soon(PyObject* event_loop, Result<PyRef> outcome);

}  // namespace quellgate::bridge
