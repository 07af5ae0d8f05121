#pragma once
#include "frame/error.hpp"
#include "executor/executor.hpp"

namespace quellgate::bridge {

// The outcome of a Python awaitable as a job sees it: its value, or the
// exception it raised (CancelledError when its task was cancelled or never
// completed).
using AwaitedOutcome = Result<PyRef>;

// Inside a job, lock held: schedules `awaitable` as a task on the loop that
// started the job, in the context captured there. The job then awaits the
// returned receiver without the lock and passes what it yields to
// `awaited_outcome`.
Result<executor::OneShotReceiver<AwaitedOutcome>> bridge_await(PyRef awaitable);

// Whether `future`, which ensure_future gave back as it was, belongs to
// `event_loop`. asyncio refuses at once to await a Future of another loop;
// so does a call that would otherwise wait for it for good: RuntimeError
// "... attached to a different loop". A Future that cannot say its loop
// passes. Lock held.
Result<void> check_future_of_loop(PyObject* event_loop, PyObject* future);

// What the receiver yielded, with a closed channel turned into
// asyncio.CancelledError (takes the lock for that).
AwaitedOutcome awaited_outcome(std::optional<AwaitedOutcome> received);

}  // namespace quellgate::bridge
