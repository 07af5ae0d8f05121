#pragma once
#include <memory>

#include "engine/burst.hpp"
#include "executor/cancel_signal.hpp"
#include "frame/error.hpp"

namespace quellgate::bridge {

// What the pending Future of a wait is, both asyncio.Future subclasses whose
// cancel() signals the job behind them at once:
//   stoppable: nothing more; for a wait whose outcome carries no permit.
//   admission: its awaiter owns the hand-off of a burst permit. When the
//     await is cut short (a CancelledError thrown into it, the task
//     cancelled, a timeout) after the Future was completed with an
//     admission, the permit goes back. So it does when the completed Future
//     is cancelled while nobody awaits it and before anyone read it; reading
//     it then raises CancelledError. So it does, too, when the Future is
//     collected with its admission never read: nobody can hold it then. An
//     admission that was read is the reader's held permit.
enum class WaitFuture { stoppable, admission };
Result<PyRef> new_wait_future(PyObject* event_loop, std::shared_ptr<executor::CancelSignal> job, WaitFuture kind);

// An admission Future of `event_loop` completed with () and holding
// `permit`, for an admission decided at the call: an admission nobody ever
// reads goes back when the Future is collected, as a landed wait's does.
// Being done when its caller gets it, cancelling it changes nothing. Lock
// held, on the loop's thread.
Result<PyRef> completed_admission_future(PyObject* event_loop, engine::BurstPermit permit);

// Hands an admitted permit to the Future that now holds the admission: an
// admission Future keeps the way to give it back until its result is read;
// any other Future's caller simply holds it. Lock held, Future completed.
Result<void> hand_permit_to(PyObject* future, engine::BurstPermit permit);

}  // namespace quellgate::bridge
