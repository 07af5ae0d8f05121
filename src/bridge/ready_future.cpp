#include "bridge/ready_future.hpp"

#include "bridge/asyncio_lookups.hpp"
#include "frame/boundary.hpp"

namespace quellgate::bridge {
namespace {

// Completes the Future unless it was cancelled meanwhile. Called by the loop
// as (future, complete, value); one stateless callable serves every call.
PyObject* complete_unless_cancelled(PyObject*, PyObject* args) {
  return boundary([&]() -> Result<PyRef> {
    PyObject* future = PyTuple_GetItem(args, 0);
    auto cancelled = call_method(future, "cancelled");
    if (!cancelled) return cancelled;
    const int truth = PyObject_IsTrue(cancelled->get());
    if (truth < 0) return take_pending();
    if (truth == 1) return PyRef::borrow(Py_None);
    auto completed = owned_or_pending(PyObject_CallFunctionObjArgs(PyTuple_GetItem(args, 1), PyTuple_GetItem(args, 2), nullptr));
    if (!completed) return completed;
    return PyRef::borrow(Py_None);
  });
}

Result<PyObject*> shared_completor() {
  static PyMethodDef definition = {"CheckedCompletor", complete_unless_cancelled, METH_VARARGS, nullptr};
  static PyObject* completor = nullptr;  // made once under the interpreter lock, kept
  if (completor == nullptr) {
    completor = PyCFunction_NewEx(&definition, nullptr, nullptr);
    if (completor == nullptr) return take_pending();
  }
  return completor;
}

// set_result or set_exception and its argument.
struct Completion {
  const char* method;
  PyRef argument;
};

Completion completion_of(Result<PyRef> outcome) {
  if (outcome) return {"set_result", std::move(*outcome)};
  return {"set_exception", std::move(outcome.error()).into_value()};
}

}  // namespace

Result<PyRef> completed_future(PyObject* event_loop, Result<PyRef> outcome) {
  auto future = call_method(event_loop, "create_future");
  if (!future) return future;
  Completion completion = completion_of(std::move(outcome));
  if (auto set = call_method_one(future->get(), completion.method, completion.argument.get()); !set) return set;
  return future;
}

Result<PyRef> future_completed_soon(PyObject* event_loop, Result<PyRef> outcome) {
  auto future = call_method(event_loop, "create_future");
  if (!future) return future;
  auto completor = shared_completor();
  if (!completor) return std::unexpected(std::move(completor.error()));
  Completion completion = completion_of(std::move(outcome));
  auto complete = owned_or_pending(PyObject_GetAttr(future->get(), interned_name(completion.method)));
  if (!complete) return complete;
  auto scheduled = owned_or_pending(PyObject_CallMethodObjArgs(event_loop, interned_name("call_soon"), *completor, future->get(),
                                                               complete->get(), completion.argument.get(), nullptr));
  if (!scheduled) return scheduled;
  return future;
}

}  // namespace quellgate::bridge
