#include "bridge/ready_future.hpp"

#include <array>
#include <utility>

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

// Loop classes whose create_future() was seen to make a plain asyncio.Future
// (asyncio's own and uvloop's do): for those the Future is made directly as
// asyncio.Future(loop=loop), which saves a Python-level call on every
// immediate outcome. Filled under the interpreter lock; types are kept.
std::array<PyObject*, 4> plain_future_loop_types{};

Result<PyObject*> future_class() {
  static PyObject* cell = nullptr;  // asyncio.Future, looked up once under the lock, kept
  if (cell == nullptr) {
    auto asyncio = asyncio_module();
    if (!asyncio) return asyncio;
    cell = PyObject_GetAttrString(*asyncio, "Future");
    if (cell == nullptr) return take_pending();
  }
  return cell;
}

// {"loop": event_loop} for asyncio.Future(loop=...), reused while calls come
// from the same loop, so an immediate outcome builds no dict. It keeps the
// last loop that made a Future alive until another loop makes one, as the
// running-loop cache does. Guarded by the interpreter lock: Future.__init__
// reads its arguments before it runs any Python code (the loop's
// get_debug), so another thread refilling the dict afterwards is harmless.
Result<PyObject*> loop_keyword(PyObject* event_loop) {
  static PyObject* kwargs = nullptr;
  if (kwargs == nullptr) {
    kwargs = PyDict_New();
    if (kwargs == nullptr) return take_pending();
  }
  PyObject* name = interned_name("loop");
  if (PyDict_GetItemWithError(kwargs, name) != event_loop) {
    if (PyErr_Occurred()) return take_pending();
    if (PyDict_SetItem(kwargs, name, event_loop) != 0) return take_pending();
  }
  return kwargs;
}

// Inlined into new_future, which every immediate outcome takes.
[[gnu::always_inline]] inline Result<PyRef> construct_future(PyObject* future_type, PyObject* event_loop) {
  // From 3.12, a Future made without a loop takes the running one, which is
  // `event_loop`, straight from the thread state; that spares the keyword
  // parse. Before, finding it costs a system call, and the keyword is cheaper.
  static const bool running_loop_is_cheap = interpreter_at_least_3(12);
  if (running_loop_is_cheap) return owned_or_pending(PyObject_CallObject(future_type, nullptr));
  static PyObject* no_args = nullptr;  // (), made once under the lock
  if (no_args == nullptr) {
    no_args = PyTuple_New(0);
    if (no_args == nullptr) return take_pending();
  }
  auto kwargs = loop_keyword(event_loop);
  if (!kwargs) return std::unexpected(std::move(kwargs.error()));
  return owned_or_pending(PyObject_Call(future_type, no_args, *kwargs));
}

Result<PyRef> new_future(PyObject* event_loop) {
  PyObject* loop_type = reinterpret_cast<PyObject*>(Py_TYPE(event_loop));
  auto future_type = future_class();
  if (!future_type) return std::unexpected(std::move(future_type.error()));
  for (PyObject* known : plain_future_loop_types) {
    if (known == loop_type) return construct_future(*future_type, event_loop);
  }
  auto future = call_method(event_loop, "create_future");
  if (!future || reinterpret_cast<PyObject*>(Py_TYPE(future->get())) != *future_type) return future;
  for (PyObject*& slot : plain_future_loop_types) {
    if (slot == nullptr) {
      slot = PyRef::borrow(loop_type).release();
      break;
    }
  }
  return future;
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

Result<PyRef> future_of_class(PyObject* future_type, PyObject* event_loop) {
  return construct_future(future_type, event_loop);
}

Result<PyRef> completed_future(PyObject* event_loop, Result<PyRef> outcome) {
  auto future = new_future(event_loop);
  if (!future) return future;
  Completion completion = completion_of(std::move(outcome));
  if (auto set = call_method_one(future->get(), completion.method, completion.argument.get()); !set) return set;
  return future;
}

Result<PyRef> shared_completed_future(PyObject* event_loop, SharedResult result) {
  struct Cached {
    PyObject* future = nullptr;      // owned; replaced when another loop asks
    PyObject* event_loop = nullptr;  // borrowed: the Future keeps it alive
  };
  static std::array<Cached, 2> cache{};  // guarded by the interpreter lock
  Cached& cached = cache[static_cast<std::size_t>(result)];
  if (cached.future == nullptr || cached.event_loop != event_loop) {
    auto value = result == SharedResult::empty_tuple ? empty_tuple() : PyRef::borrow(Py_False);
    auto future = completed_future(event_loop, std::move(value));
    if (!future) return future;
    PyObject* previous = std::exchange(cached.future, future->release());
    cached.event_loop = event_loop;
    Py_XDECREF(previous);
  }
  return PyRef::borrow(cached.future);
}

Result<PyRef> future_completed_soon(PyObject* event_loop, Result<PyRef> outcome) {
  auto future = new_future(event_loop);
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
