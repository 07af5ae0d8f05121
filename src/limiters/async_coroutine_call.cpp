#include "limiters/async_coroutine_call.hpp"

#include <optional>

#include "bridge/asyncio_lookups.hpp"
#include "bridge/bridge_await.hpp"
#include "bridge/bridge_start.hpp"
#include "bridge/ready_future.hpp"
#include "frame/closure.hpp"
#include "limiters/async_admission.hpp"
#include "limiters/async_wrapped_call.hpp"
#include "limiters/blocking_admission.hpp"

namespace quellgate {
namespace {

using MaybePermit = std::optional<engine::BurstPermit>;

// The task's done-callback that gives its permit back. Dropped without being
// called (the loop was closed first), it gives the permit back all the same.
class PermitOnTaskEnd final : public Closure {
 public:
  explicit PermitOnTaskEnd(engine::BurstPermit permit) { permit_.emplace(std::move(permit)); }

  Result<PyRef> call(PyObject*, PyObject*) override {
    permit_.reset();
    return PyRef::borrow(Py_None);
  }

 private:
  std::optional<engine::BurstPermit> permit_;
};

// The waiting call's Future, cancelled: the task goes with it.
class CancelTaskWithFuture final : public Closure {
 public:
  explicit CancelTaskWithFuture(PyRef task) : task_(std::move(task)) {}

  Result<PyRef> call(PyObject* args, PyObject*) override {
    if (!task_ || !bridge::is_cancelled(PyTuple_GetItem(args, 0))) return PyRef::borrow(Py_None);
    PyRef task = std::move(task_);
    return bridge::call_method(task.get(), "cancel");
  }

  // The task's own callback refers back to the Future this one sits on.
  int traverse(visitproc visit, void* arg) const override { return visit_reference(task_, visit, arg); }
  void clear() override { clear_reference(task_); }

 private:
  PyRef task_;
};

// The task ended: its outcome goes to the waiting call's Future, unless that
// was cancelled; then a body's exception stays unread in the task, which
// reports it to the loop's exception handler as any orphaned task does.
class FutureFollowsTask final : public Closure {
 public:
  explicit FutureFollowsTask(PyRef future) : future_(std::move(future)) {}

  Result<PyRef> call(PyObject* args, PyObject*) override {
    PyRef future = std::move(future_);
    if (!future) return PyRef::borrow(Py_None);
    auto done = bridge::call_method(future.get(), "done");
    if (!done) return done;
    if (PyObject_IsTrue(done->get()) != 0) return PyRef::borrow(Py_None);
    PyObject* task = PyTuple_GetItem(args, 0);
    if (bridge::is_cancelled(task)) return bridge::call_method(future.get(), "cancel");
    auto exception = bridge::call_method(task, "exception");
    if (!exception) return exception;
    if (exception->get() != Py_None) return bridge::call_method_one(future.get(), "set_exception", exception->get());
    auto value = bridge::call_method(task, "result");
    if (!value) return value;
    return bridge::call_method_one(future.get(), "set_result", value->get());
  }

  int traverse(visitproc visit, void* arg) const override { return visit_reference(future_, visit, arg); }
  void clear() override { clear_reference(future_); }

 private:
  PyRef future_;
};

Result<void> add_done_callback(PyObject* future, std::unique_ptr<Closure> callback) {
  auto callable = make_closure(std::move(callback));
  if (!callable) return std::unexpected(std::move(callable.error()));
  if (auto added = bridge::call_method_one(future, "add_done_callback", callable->get()); !added) {
    return std::unexpected(std::move(added.error()));
  }
  return {};
}

Result<PyObject*> coroutine_type() {
  static PyObject* cell = nullptr;  // types.CoroutineType, looked up once under the lock, kept
  if (cell == nullptr) {
    PyRef types = PyRef::steal(PyImport_ImportModule("types"));
    if (!types) return take_pending();
    cell = PyObject_GetAttrString(types.get(), "CoroutineType");
    if (cell == nullptr) return take_pending();
  }
  return cell;
}

// The awaitable as a task of `event_loop`, in the current context: a
// coroutine through loop.create_task, anything else through ensure_future.
Result<PyRef> start_task(PyObject* event_loop, PyObject* awaitable) {
  auto coroutine = coroutine_type();
  if (!coroutine) return std::unexpected(std::move(coroutine.error()));
  if (reinterpret_cast<PyObject*>(Py_TYPE(awaitable)) == *coroutine) {
    return bridge::call_method_one(event_loop, "create_task", awaitable);
  }
  auto ensure_future = bridge::ensure_future_function();
  if (!ensure_future) return std::unexpected(std::move(ensure_future.error()));
  return owned_or_pending(PyObject_CallFunctionObjArgs(*ensure_future, awaitable, nullptr));
}

// The permit rides on the task until it has ended.
Result<void> hold_permit_until_task_ends(PyObject* task, engine::BurstPermit permit) {
  if (!permit.holds_permit()) return {};
  return add_done_callback(task, std::make_unique<PermitOnTaskEnd>(std::move(permit)));
}

// Admitted at once on the loop's thread, in the caller's context: the call,
// and its coroutine as a task that is the call's Future.
Result<PyRef> start_now(PyObject* event_loop, PyObject* func, PyObject* args, PyObject* kwargs, engine::BurstPermit permit) {
  auto returned = owned_or_pending(PyObject_Call(func, args, kwargs));
  if (!returned || !bridge::is_awaitable(returned->get())) return bridge::completed_future(event_loop, std::move(returned));
  auto task = start_task(event_loop, returned->get());
  if (!task) return bridge::completed_future(event_loop, std::move(task));
  if (auto held = hold_permit_until_task_ends(task->get(), std::move(permit)); !held) return std::unexpected(std::move(held.error()));
  return task;
}

// (context, func, args, kwargs or None): what a waiting call needs once its
// admission lands on the loop.
Result<PyRef> capture_call(PyObject* func, PyObject* args, PyObject* kwargs) {
  auto contextvars = bridge::contextvars_module();
  if (!contextvars) return std::unexpected(std::move(contextvars.error()));
  auto context = bridge::call_method(*contextvars, "copy_context");
  if (!context) return context;
  PyRef keywords = PyRef::borrow(Py_None);
  if (kwargs != nullptr) {
    auto copied = owned_or_pending(PyDict_Copy(kwargs));  // keeps the caller's order
    if (!copied) return copied;
    keywords = std::move(*copied);
  }
  return owned_or_pending(PyTuple_Pack(4, context->get(), func, args, keywords.get()));
}

// context.run(callable, *args) with the keyword arguments given.
Result<PyRef> run_in_context(PyObject* context, PyObject* callable, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t count = PyTuple_Size(args);
  auto run_args = owned_or_pending(PyTuple_New(count + 1));
  if (!run_args) return run_args;
  PyTuple_SetItem(run_args->get(), 0, PyRef::borrow(callable).release());  // steals
  for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SetItem(run_args->get(), i + 1, PyRef::borrow(PyTuple_GetItem(args, i)).release());
  return bridge::call_method(context, "run", run_args->get(), kwargs);
}

// The waiting call's admission landed on the loop and its Future was not
// cancelled: the call, its task, and the Future tied to the task.
Result<void> land_admitted_call(PyObject* future, bridge::Delivery&& delivery) {
  std::optional<engine::BurstPermit> permit = std::move(delivery.permit);  // given back on any early return
  PyObject* captured = delivery.value.get();
  PyObject* context = PyTuple_GetItem(captured, 0);
  PyObject* kwargs = PyTuple_GetItem(captured, 3);
  auto returned = run_in_context(context, PyTuple_GetItem(captured, 1), PyTuple_GetItem(captured, 2), kwargs == Py_None ? nullptr : kwargs);
  Result<PyRef> completion = std::move(returned);
  if (completion && bridge::is_awaitable(completion->get())) {
    auto ensure_future = bridge::ensure_future_function();
    if (!ensure_future) return std::unexpected(std::move(ensure_future.error()));
    auto one = owned_or_pending(PyTuple_Pack(1, completion->get()));
    if (!one) return std::unexpected(std::move(one.error()));
    auto task = run_in_context(context, *ensure_future, one->get(), nullptr);
    if (task && task->get() == completion->get()) {  // a Future as it was: it may be another loop's
      auto event_loop = bridge::call_method(future, "get_loop");
      if (!event_loop) return std::unexpected(std::move(event_loop.error()));
      if (auto same_loop = bridge::check_future_of_loop(event_loop->get(), task->get()); !same_loop) {
        task = std::unexpected(std::move(same_loop.error()));
      }
    }
    if (task) {
      if (permit) {
        if (auto held = hold_permit_until_task_ends(task->get(), std::move(*permit)); !held) return held;
      }
      if (auto tied = add_done_callback(task->get(), std::make_unique<FutureFollowsTask>(PyRef::borrow(future))); !tied) return tied;
      return add_done_callback(future, std::make_unique<CancelTaskWithFuture>(std::move(*task)));
    }
    completion = std::move(task);
  }
  return bridge::complete_now(future, completion ? bridge::Outcome(bridge::Delivery{std::move(*completion), std::nullopt, nullptr})
                                                 : bridge::Outcome(std::unexpected(std::move(completion.error()))));
}

Result<PyRef> wait_then_start(const engine::LimiterCore& core, PyObject* func, PyObject* args, PyObject* kwargs) {
  auto captured = capture_call(func, args, kwargs);
  if (!captured) return captured;
  return bridge::bridge_start<MaybePermit>(admit_in_job(core), [captured = std::move(*captured)](MaybePermit permit) mutable -> bridge::Outcome {
    if (!permit) return std::unexpected(PyError::deferred(value_error, "Rate limit exceeded"));
    return bridge::Delivery{std::move(captured), std::move(*permit), land_admitted_call};
  }, bridge::FutureKind::plain, bridge::CallerContext::not_needed);  // the captured call carries its own context
}

}  // namespace

bool is_coroutine_function(PyObject* func) {
  auto asyncio = bridge::asyncio_module();
  if (!asyncio) return false;
  auto answer = bridge::call_method_one(*asyncio, "iscoroutinefunction", func);
  if (!answer) return false;
  const int truth = PyObject_IsTrue(answer->get());
  if (truth < 0) {
    PyErr_Clear();
    return false;
  }
  return truth == 1;
}

Result<PyRef> call_coroutine_function(const engine::LimiterCore& core, const PyRef& func, PyObject* args, PyObject* kwargs) {
  if (auto checked = check_keywords_are_str(kwargs); !checked) return std::unexpected(std::move(checked.error()));
  auto event_loop = bridge::loop_of_calling_thread();
  if (!event_loop) return event_loop;
  if (!*event_loop) return call_through_job(core, func, args, kwargs, /*coroutine_function=*/true);
  return first_attempt_on_loop(
      core, event_loop->get(),
      [&](engine::BurstPermit permit) { return start_now(event_loop->get(), func.get(), args, kwargs, std::move(permit)); },
      [&] { return wait_then_start(core, func.get(), args, kwargs); },
      []() -> Result<PyRef> { return error(value_error, "Rate limit exceeded"); });
}

}  // namespace quellgate
