#include "limiters/async_wrapped_call.hpp"

#include "limiters/async_admission.hpp"
#include "bridge/asyncio_lookups.hpp"
#include "bridge/bridge_await.hpp"
#include "bridge/bridge_start.hpp"
#include "bridge/loop_binding.hpp"
#include "frame/fault.hpp"
#include "frame/gil.hpp"
#include "executor/blocking_handoff.hpp"
#include "executor/shared_blocking_pool.hpp"

namespace quellgate {
namespace {

// With a context, calls context.run(func, *args, **kwargs) instead.
Result<PyRef> call_on_this_thread(const WrappedCall& call, PyObject* context = nullptr) {
  const std::size_t leading = context != nullptr ? 1 : 0;
  auto args = owned_or_pending(PyTuple_New(static_cast<Py_ssize_t>(leading + call.args.size())));
  if (!args) return args;
  if (context != nullptr) PyTuple_SetItem(args->get(), 0, call.func.clone().release());  // steals
  for (std::size_t i = 0; i < call.args.size(); ++i) {
    PyTuple_SetItem(args->get(), static_cast<Py_ssize_t>(leading + i), call.args[i].clone().release());
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
  if (context == nullptr) return owned_or_pending(PyObject_Call(call.func.get(), args->get(), kwargs.get()));
  auto run = owned_or_pending(PyObject_GetAttr(context, bridge::interned_name("run")));
  if (!run) return run;
  return owned_or_pending(PyObject_Call(run->get(), args->get(), kwargs.get()));
}

// What a plain function's call sends back to its job. The permit rides with
// the call and comes back only once the function returned: a job cancelled
// meanwhile drops it then, never earlier.
struct BlockingReturn {
  Result<PyRef> value;
  bool awaitable = false;
  std::optional<engine::BurstPermit> permit;
};

// Runs on a blocking-pool thread. Faults become the call's error: nothing may
// leave a pool call but the unwind that ends the thread. nullopt when the
// call's Future was cancelled before the call started: checked under the
// lock, which cancel() holds, so such a call never starts.
std::optional<BlockingReturn> call_holding_the_lock(WrappedCall& call, PyObject* context, const executor::StillWanted& wanted) {
  try {
    return gil::with_gil([&]() -> std::optional<BlockingReturn> {
      // The arguments go under the lock, not on whichever thread destroys
      // the pool's call.
      WrappedCall done = std::move(call);
      if (!wanted()) return std::nullopt;
      BlockingReturn back{call_on_this_thread(done, context), false, std::nullopt};
      if (back.value) back.awaitable = bridge::is_awaitable(back.value->get());
      return back;
    });
  } catch (...) {
    if (executor::ending_the_thread()) throw;
    const std::string message = fault_message_of_current_exception().value_or("unknown error");
    return BlockingReturn{std::unexpected(PyError::deferred(panic_exception_class, message)), false, std::nullopt};
  }
}

// A plain function may block for as long as it likes, so it runs off the
// workers, which drive every limiter's waits. The job awaits its end holding
// no thread. nullopt when the call was dropped unrun; its permit went back.
executor::Task<std::optional<BlockingReturn>> call_on_blocking_thread(WrappedCall call, engine::BurstPermit permit) {
  // The binding's context is this call's own copy of the caller's context,
  // made at the call; the job keeps the binding alive.
  auto binding = std::static_pointer_cast<bridge::LoopBinding>(executor::current_job_local());
  return executor::run_on_blocking_pool<BlockingReturn>(
      executor::shared_blocking_pool(),
      [call = std::move(call), binding, permit = std::move(permit)](const executor::StillWanted& wanted) mutable {
        auto back = call_holding_the_lock(call, binding ? binding->context.get() : nullptr, wanted);
        if (back) back->permit.emplace(std::move(permit));
        return back;
      });
}

}  // namespace

Result<void> check_keywords_are_str(PyObject* kwargs) {
  if (kwargs == nullptr) return {};
  Py_ssize_t position = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (PyDict_Next(kwargs, &position, &key, &value)) {
    if (!PyUnicode_Check(key)) return std::unexpected(type_check_error(key, "PyString"));
  }
  return {};
}

Result<WrappedCall> WrappedCall::capture(const PyRef& func, PyObject* args, PyObject* kwargs, bool coroutine_function) {
  WrappedCall call{func.clone(), {}, std::nullopt, coroutine_function};
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
  std::optional<engine::BurstPermit> permit(std::move(**admission));  // given back when this call ends

  std::optional<Result<PyRef>> plain_return;
  if (!call.coroutine_function) {
    auto back = co_await call_on_blocking_thread(std::move(call), std::move(*permit));
    if (!back) co_return error(runtime_error, "the decorated function's call was dropped unrun");
    permit.emplace(std::move(*back->permit));
    if (!back->value || !back->awaitable) co_return std::move(back->value);
    plain_return.emplace(std::move(back->value));
  }

  std::optional<executor::OneShotReceiver<bridge::AwaitedOutcome>> pending;
  Result<PyRef> outcome = gil::with_gil([&]() -> Result<PyRef> {
    auto returned = plain_return ? std::move(*plain_return) : call_on_this_thread(call);
    if (!returned || !bridge::is_awaitable(returned->get())) return returned;
    auto waiter = bridge::bridge_await(std::move(*returned));
    if (!waiter) return std::unexpected(std::move(waiter.error()));
    pending.emplace(std::move(*waiter));
    return PyRef();
  });
  if (pending) outcome = bridge::awaited_outcome(co_await std::move(*pending));
  co_return outcome;
}

Result<PyRef> call_through_job(const engine::LimiterCore& core, const PyRef& func, PyObject* args, PyObject* kwargs,
                               bool coroutine_function) {
  auto call = WrappedCall::capture(func, args, kwargs, coroutine_function);
  if (!call) return std::unexpected(std::move(call.error()));
  // Stoppable: cancel() stops the job at once, under the lock, so a call still
  // queued for a blocking thread is never made.
  return bridge::bridge_start<PyRef>(
      run_wrapped_call(core, std::move(*call)),
      [](PyRef value) -> bridge::Outcome { return bridge::Delivery{std::move(value), std::nullopt, nullptr}; },
      bridge::FutureKind::stoppable);
}

}  // namespace quellgate
