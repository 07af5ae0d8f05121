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

// What the receiver yielded, with a closed channel turned into
// asyncio.CancelledError (takes the lock for that).
AwaitedOutcome awaited_outcome(std::optional<AwaitedOutcome> received);

}  // namespace quellgate::bridge
