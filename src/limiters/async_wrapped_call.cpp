#include "limiters/async_wrapped_call.hpp"

#include "limiters/async_admission.hpp"
#include "bridge/asyncio_lookups.hpp"
#include "bridge/bridge_await.hpp"
#include "bridge/bridge_start.hpp"
#include "frame/gil.hpp"

namespace quellgate {
namespace {

Result<PyRef> call_on_this_thread(const WrappedCall& call) {
  auto args = owned_or_pending(PyTuple_New(static_cast<Py_ssize_t>(call.args.size())));
  if (!args) return args;
  for (std::size_t i = 0; i < call.args.size(); ++i) {
    PyTuple_SetItem(args->get(), static_cast<Py_ssize_t>(i), call.args[i].clone().release());  // steals
  }
  PyRef kwargs;
  if (call.kwargs) {
    auto dict = owned_or_pending(PyDict_New());
    if (!dict) return dict;
    for (const auto& [key, value] : *call.kwargs) {
      // Sized, not NUL-terminated: a keyword name may contain NUL.
      auto name = owned_or_pending(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
      if (!name) return name;
      if (PyDict_SetItem(dict->get(), name->get(), value.get()) != 0) return take_pending();
    }
    kwargs = std::move(*dict);
  }
  return owned_or_pending(PyObject_Call(call.func.get(), args->get(), kwargs.get()));
}

// Anything with __await__ is awaited; a lookup that fails otherwise than with
// AttributeError is dropped and the value taken as it is.
bool is_awaitable(PyObject* value) {
  if (PyObject* await = PyObject_GetAttr(value, bridge::interned_name("__await__"))) {
    Py_DecRef(await);
    return true;
  }
  PyErr_Clear();
  return false;
}

}  // namespace

Result<WrappedCall> WrappedCall::capture(const PyRef& func, PyObject* args, PyObject* kwargs) {
  WrappedCall call{func.clone(), {}, std::nullopt};
  const Py_ssize_t count = PyTuple_Size(args);
  call.args.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) call.args.push_back(PyRef::borrow(PyTuple_GetItem(args, i)));
  if (kwargs == nullptr) return call;
  call.kwargs.emplace();
  Py_ssize_t position = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (PyDict_Next(kwargs, &position, &key, &value)) {
    if (!PyUnicode_Check(key)) return std::unexpected(type_check_error(key, "PyString"));
    PyRef utf8 = PyRef::steal(PyUnicode_AsUTF8String(key));
    if (!utf8) return take_pending();
    call.kwargs->emplace_back(std::string(PyBytes_AsString(utf8.get()), static_cast<std::size_t>(PyBytes_Size(utf8.get()))),
                              PyRef::borrow(value));
  }
  return call;
}

executor::Task<Result<PyRef>> run_wrapped_call(engine::LimiterCore core, WrappedCall call) {
  auto admission = co_await admit_in_job(core);
  if (!admission) co_return std::unexpected(std::move(admission.error()));
  if (!*admission) co_return error(value_error, "Rate limit exceeded");
  const engine::BurstPermit permit = std::move(**admission);  // given back when this call ends

  std::optional<executor::OneShotReceiver<bridge::AwaitedOutcome>> pending;
  Result<PyRef> outcome = gil::with_gil([&]() -> Result<PyRef> {
    auto returned = call_on_this_thread(call);
    if (!returned || !is_awaitable(returned->get())) return returned;
    auto waiter = bridge::bridge_await(std::move(*returned));
    if (!waiter) return std::unexpected(std::move(waiter.error()));
    pending.emplace(std::move(*waiter));
    return PyRef();
  });
  if (pending) outcome = bridge::awaited_outcome(co_await std::move(*pending));
  co_return outcome;
}

Result<PyRef> call_plain_function(const engine::LimiterCore& core, const PyRef& func, PyObject* args, PyObject* kwargs) {
  auto call = WrappedCall::capture(func, args, kwargs);
  if (!call) return std::unexpected(std::move(call.error()));
  return bridge::bridge_start<PyRef>(run_wrapped_call(core, std::move(*call)), [](PyRef value) -> bridge::Outcome {
    return bridge::Delivery{std::move(value), std::nullopt, nullptr};
  });
}

}  // namespace quellgate
