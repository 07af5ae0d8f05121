#include "bridge/bridge_await.hpp"

#include "bridge/asyncio_lookups.hpp"
#include "bridge/loop_binding.hpp"
#include "frame/closure.hpp"
#include "frame/gil.hpp"

namespace quellgate::bridge {
namespace {

using Sender = executor::OneShotSender<AwaitedOutcome>;

// The task's done-callback, on the loop thread: forwards its outcome.
class PyTaskCompleter final : public Closure {
 public:
  explicit PyTaskCompleter(Sender sender) : sender_(std::move(sender)) {}

  Result<PyRef> call(PyObject* args, PyObject*) override {
    if (!sender_) return PyRef::borrow(Py_None);
    AwaitedOutcome outcome = call_method(PyTuple_GetItem(args, 0), "result");
    std::exchange(sender_, std::nullopt)->send(std::move(outcome));
    return PyRef::borrow(Py_None);
  }

 private:
  std::optional<Sender> sender_;
};

// Runs on the loop thread in the captured context: starts the awaitable as
// a task and listens for its end. If this fails, the sender is dropped and
// the waiting job sees CancelledError; a Future of another loop is refused
// with its own error.
class PyEnsureFuture final : public Closure {
 public:
  PyEnsureFuture(PyRef awaitable, PyRef event_loop, Sender sender)
      : awaitable_(std::move(awaitable)), event_loop_(std::move(event_loop)), sender_(std::move(sender)) {}

  Result<PyRef> call(PyObject*, PyObject*) override {
    if (!sender_) return PyRef::borrow(Py_None);
    // Taken out first: on any failure below it is dropped on return, so the
    // waiting job hears at once instead of when this object dies, which the
    // failure's traceback can put off until a garbage collection.
    Sender sender = std::move(*std::exchange(sender_, std::nullopt));
    if (!awaitable_) return std::unexpected(cleared_closure_error());
    auto ensure_future = ensure_future_function();
    if (!ensure_future) return std::unexpected(std::move(ensure_future.error()));
    auto task = owned_or_pending(PyObject_CallFunctionObjArgs(*ensure_future, awaitable_.get(), nullptr));
    if (!task) return task;
    if (task->get() == awaitable_.get()) {
      if (auto same_loop = check_future_of_loop(event_loop_.get(), task->get()); !same_loop) {
        sender.send(std::unexpected(std::move(same_loop.error())));
        return PyRef::borrow(Py_None);
      }
    }
    auto completer = make_closure(std::make_unique<PyTaskCompleter>(std::move(sender)));
    if (!completer) return completer;
    auto args = owned_or_pending(PyTuple_Pack(1, completer->get()));
    if (!args) return args;
    if (auto added = call_method(task->get(), "add_done_callback", args->get()); !added) return added;
    return PyRef::borrow(Py_None);
  }

  // The awaitable may refer back to this starter while the loop holds it.
  int traverse(visitproc visit, void* arg) const override { return visit_reference(awaitable_, visit, arg); }
  void clear() override { clear_reference(awaitable_); }

 private:
  PyRef awaitable_;
  PyRef event_loop_;
  std::optional<Sender> sender_;
};

}  // namespace

Result<void> check_future_of_loop(PyObject* event_loop, PyObject* future) {
  auto loop = call_method(future, "get_loop");
  if (!loop) return {};
  if (loop->get() == event_loop) return {};
  PyErr_Format(PyExc_RuntimeError, "got Future %R attached to a different loop", future);
  return take_pending();
}

Result<executor::OneShotReceiver<AwaitedOutcome>> bridge_await(PyRef awaitable) {
  auto binding = current_binding();
  if (!binding) return std::unexpected(std::move(binding.error()));
  auto [sender, receiver] = executor::make_oneshot<AwaitedOutcome>();
  auto starter = make_closure(
      std::make_unique<PyEnsureFuture>(std::move(awaitable), (*binding)->event_loop.clone(), std::move(sender)));
  if (!starter) return std::unexpected(std::move(starter.error()));
  auto args = owned_or_pending(PyTuple_Pack(1, starter->get()));
  if (!args) return std::unexpected(std::move(args.error()));
  auto kwargs = owned_or_pending(PyDict_New());
  if (!kwargs) return std::unexpected(std::move(kwargs.error()));
  if (PyDict_SetItemString(kwargs->get(), "context", (*binding)->context.get()) != 0) return take_pending();
  if (auto scheduled = call_method((*binding)->event_loop.get(), "call_soon_threadsafe", args->get(), kwargs->get()); !scheduled) {
    return std::unexpected(std::move(scheduled.error()));
  }
  return std::move(receiver);
}

AwaitedOutcome awaited_outcome(std::optional<AwaitedOutcome> received) {
  if (received) return std::move(*received);
  return gil::with_gil([]() -> AwaitedOutcome {
    auto asyncio = asyncio_module();
    if (!asyncio) return std::unexpected(std::move(asyncio.error()));
    auto cancelled = call_method(*asyncio, "CancelledError");
    if (!cancelled) return cancelled;
    return std::unexpected(PyError::from_value(std::move(*cancelled)));
  });
}

}  // namespace quellgate::bridge
