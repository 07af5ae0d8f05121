#pragma once
// Turns a background computation into an asyncio Future of the running loop.
#include <memory>
#include <optional>
#include <string>

#include "bridge/admission_future.hpp"
#include "bridge/asyncio_lookups.hpp"
#include "bridge/delivery.hpp"
#include "bridge/loop_binding.hpp"
#include "executor/executor.hpp"
#include "executor/forced_unwind.hpp"
#include "frame/fault.hpp"
#include "frame/gil.hpp"

namespace quellgate::bridge {

// A computation runs on a worker without the interpreter lock and yields a
// plain C++ value; `convert` turns it into what the Future receives, under
// the lock and only when the Future still wants it.
template <class T>
using Computation = executor::Task<Result<T>>;

namespace detail {

// A plain Future of the loop whose done-callback signals `job` when the
// Future was cancelled.
Result<PyRef> future_cancelling(PyObject* event_loop, std::shared_ptr<executor::CancelSignal> job);
PyError rust_panic(const std::optional<std::string>& message);

// The job behind one Future: runs the computation with the loop binding as
// its job-local value, then completes the Future from the worker. A fault in
// the computation reaches the Future as RustPanic, so no Future waits for a
// job that died. Cancelling the job destroys this frame at its suspension
// point: nothing is delivered and the computation's own cleanup runs.
template <class T, class Convert>
executor::Task<void> run_and_deliver(PyRef future, std::shared_ptr<LoopBinding> binding, Computation<T> computation,
                                     Convert convert) {
  std::optional<Result<T>> outcome;
  std::optional<std::string> fault_message;
  try {
    outcome.emplace(co_await executor::scope(binding, std::move(computation)));
  } catch (...) {
    if (executor::ending_the_thread()) throw;
    fault_message = fault_message_of_current_exception();
  }
  // Converted on the loop's thread, and only if the Future still wants it.
  deliver(std::move(binding), std::move(future),
          [outcome = std::move(outcome), fault_message = std::move(fault_message),
           convert = std::move(convert)]() mutable -> Outcome {
            if (!outcome) return std::unexpected(rust_panic(fault_message));
            if (!*outcome) return std::unexpected(std::move(outcome->error()));
            return convert(std::move(**outcome));
          });
}

}  // namespace detail

// What the Future of a job is: a plain asyncio Future whose done-callback
// stops the job, or one of the wait Futures (admission_future.hpp), whose
// cancel() does.
enum class FutureKind { plain, stoppable, admission };

// On the calling thread, lock held: creates the Future on the running loop,
// spawns the computation and returns the Future before any of it has run.
// `context`: whether the computation runs Python code in its caller's context.
template <class T, class Convert>
Result<PyRef> bridge_start(Computation<T> computation, Convert convert, FutureKind kind = FutureKind::plain,
                           CallerContext context = CallerContext::copied) {
  auto binding = current_binding(context);
  if (!binding) return std::unexpected(std::move(binding.error()));
  PyObject* event_loop = (*binding)->event_loop.get();
  auto cancel = std::make_shared<executor::CancelSignal>();
  auto future = kind == FutureKind::plain ? detail::future_cancelling(event_loop, cancel)
                : new_wait_future(event_loop, cancel,
                                  kind == FutureKind::admission ? WaitFuture::admission : WaitFuture::stoppable);
  if (!future) return future;
  // Nobody awaits the job: its outcome reaches Python through the Future.
  static_cast<void>(executor::spawn(
      detail::run_and_deliver<T>(future->clone(), std::move(*binding), std::move(computation), std::move(convert)),
      std::move(cancel)));
  return future;
}

}  // namespace quellgate::bridge
