// AsyncRateLimiter: the limiter for asyncio code. Every method returns an
// asyncio Future of the running loop at once. What needs no wait is decided
// right away on the loop's thread, with the interpreter lock held (the
// engine's table lock is never held while waiting for that lock, so this
// cannot deadlock); a wait runs as a job on the background executor and is
// delivered on the loop's thread.
#include <array>
#include <type_traits>
#include <variant>

#include "limiters/async_admission.hpp"
#include "limiters/async_coroutine_call.hpp"
#include "limiters/blocking_admission.hpp"
#include "limiters/async_wrapped_call.hpp"
#include "bridge/admission_future.hpp"
#include "bridge/asyncio_lookups.hpp"
#include "bridge/bridge_start.hpp"
#include "bridge/ready_future.hpp"
#include "frame/class_factory.hpp"
#include "frame/classes.hpp"
#include "frame/closure.hpp"
#include "frame/decorated_function.hpp"
#include "engine/admission.hpp"
#include "executor/clock.hpp"
#include "limiters/home_lock.hpp"
#include "limiters/limiter_object.hpp"
#include "limiters/limiter_reports.hpp"
#include "limiters/reservation.hpp"
#include "limiters/server_attempt.hpp"
#include "limiters/shared_limiter.hpp"

namespace quellgate {
namespace {

constexpr const char* kClassName = "AsyncRateLimiter";
constexpr const char* kQualifiedName = "builtins.AsyncRateLimiter";
PyTypeObject* async_rate_limiter_cell = nullptr;

using engine::LimiterCore;
using MaybePermit = std::optional<engine::BurstPermit>;

template <class Body>
PyObject* method(PyObject* self, Body&& body) {
  return limiter_method(self, async_rate_limiter_cell, kClassName, std::forward<Body>(body));
}

bridge::Outcome plain(Result<PyRef> value) {
  if (!value) return std::unexpected(std::move(value.error()));
  return bridge::Delivery{std::move(*value), std::nullopt, nullptr};
}

// Admitted: () with the permit riding along until the Future has it.
bridge::Outcome admitted(engine::BurstPermit permit) {
  auto unit = bridge::empty_tuple();
  if (!unit) return std::unexpected(std::move(unit.error()));
  return bridge::Delivery{std::move(*unit), std::move(permit), nullptr};
}

enum class AdmissionCall { acquire, enter };

// An admission for acquire() and __aenter__(): decided at the call on the
// loop's thread when it needs no wait; a wait, or a call from a worker inside
// a job, becomes a job of its own.
Result<PyRef> admission(const LimiterCore& core, AdmissionCall call, const AdmissionRequest& request = kPlainRequest) {
  core.clear_interrupt();
  const bool refusal_raises = call == AdmissionCall::enter;
  const auto refusal = [refusal_raises]() -> Result<PyRef> {
    if (refusal_raises) return error(value_error, "Failed to acquire permit");
    return PyRef::borrow(Py_None);
  };
  const auto wait = [&core, &request, refusal] {
    return bridge::bridge_start<MaybePermit>(
        admit_in_job(core, request),
        [refusal](MaybePermit permit) -> bridge::Outcome {
          if (!permit) return plain(refusal());
          return admitted(std::move(*permit));
        },
        // Only a burst permit needs the hand-off of an admission Future.
        core.max_burst() ? bridge::FutureKind::admission : bridge::FutureKind::stoppable, bridge::CallerContext::not_needed);
  };
  auto event_loop = bridge::loop_of_calling_thread();
  if (!event_loop) return event_loop;
  if (!*event_loop) return wait();
  if (call == AdmissionCall::acquire && core.max_burst()) {
    // The permit stays with its Future until read, as a wait's does (`async
    // with` reads its __aenter__ at once). Its own instance of the attempt,
    // so that one without a burst cap runs the same code as ever.
    const auto admitted_with_permit = [loop = event_loop->get()](engine::BurstPermit permit) {
      return bridge::completed_admission_future(loop, std::move(permit));
    };
    return first_attempt_on_loop(core, event_loop->get(), admitted_with_permit, wait, refusal, request);
  }
  const auto admitted_now = [call, loop = event_loop->get()](engine::BurstPermit permit) {
    auto future = call == AdmissionCall::enter ? bridge::shared_completed_future(loop, bridge::SharedResult::empty_tuple)
                                               : bridge::completed_future(loop, bridge::empty_tuple());
    if (future) permit.hand_over();  // otherwise given back here
    return future;
  };
  return first_attempt_on_loop(core, event_loop->get(), admitted_now, wait, refusal, request);
}

Result<std::monostate> give_back(const LimiterCore& core) {
  engine::release_burst(core);
  return std::monostate{};
}

// What a job asks a server before it computes, through the home's
// pipelined path, so that it holds no worker while the server answers: a
// report reads ahead, and is then made from what was read on the worker
// that resumed the job; a release is done once the server has answered.
enum class AtServer { nothing, read_ahead, release };

// A release that found the home's lock held is owed (see CountHome); the
// Future completes once it is made.
Result<std::monostate> give_back_owed(const LimiterCore& core) {
  core.home()->give_back_owed_releases();
  return std::monostate{};
}

// The job of known_at_once: what it asks a server first, then `compute`,
// and, as long as the home's lock was held, a wait on the executor's timer
// and `again`; `found_busy` when the caller's own try found it held already.
template <AtServer first, class T, class Compute, class Again>
executor::Task<Result<T>> compute_in_job(LimiterCore core, Compute compute, Again again, bool found_busy) {
  if constexpr (first == AtServer::read_ahead) {
    if (asks_a_server(core)) core.home()->use_reading(co_await read_ahead_at_server(core));
  } else if constexpr (first == AtServer::release) {
    if (asks_a_server(core) && core.max_burst()) {
      co_await release_at_server(core);
      co_return T{};
    }
  }
  if (!found_busy) {
    Result<T> value = compute(core);
    if (!lock_was_busy(core)) co_return value;
  }
  for (;;) {
    if (auto waited = co_await wait_for_home_lock_in_job(core); !waited) co_return std::unexpected(std::move(waited.error()));
    Result<T> value = again(core);
    if (!lock_was_busy(core)) co_return value;
  }
}

// A method whose outcome needs no wait: computed at once on the loop's
// thread and returned completed; called from a worker (inside a job), on a
// limiter whose home asks a server, or when the home's lock was held (see
// home_lock.hpp), it takes the job's way. `compute(core)` gives a
// Result<T>, and `again(core)` after a wait for that lock; `convert(T)` the
// Future's value; `ready` makes the completed Future from the loop and the
// outcome; `first` is what the job asks a server before it computes.
template <AtServer first, class Compute, class Again, class Convert,
          class Ready = Result<PyRef> (*)(PyObject*, Result<PyRef>)>
Result<PyRef> known_at_once(const LimiterCore& core, Compute compute, Again again, Convert convert,
                            Ready ready = &bridge::completed_future) {
  using T = typename std::invoke_result_t<Compute, const LimiterCore&>::value_type;
  auto event_loop = bridge::loop_of_calling_thread();
  if (!event_loop) return event_loop;
  bool found_busy = false;
  if (*event_loop && !asks_a_server(core)) {
    Result<T> value = compute(core);
    found_busy = lock_was_busy(core);
    if (!found_busy) [[likely]] {
      if (!value) return ready(event_loop->get(), std::unexpected(std::move(value.error())));
      return ready(event_loop->get(), convert(std::move(*value)));
    }
  }
  return bridge::bridge_start<T>(compute_in_job<first, T>(core, compute, again, found_busy),
                                 [convert](T value) { return plain(convert(std::move(value))); });
}

// acquire() with arguments: a cost, a timeout.
[[gnu::noinline]] Result<PyRef> admission_as_asked(const LimiterCore& core, PyObject* args, PyObject* kwargs) {
  auto request = bind_request(core, kClassName, "acquire", args, kwargs, /*cost_required=*/false);
  if (!request) return std::unexpected(std::move(request.error()));
  return admission(core, AdmissionCall::acquire, *request);
}

PyObject* acquire(PyObject* self, PyObject* args, PyObject* kwargs) {
  return method(self, [&](const LimiterCore& core) {
    if (no_arguments(args, kwargs)) [[likely]] return admission(core, AdmissionCall::acquire);
    return admission_as_asked(core, args, kwargs);
  });
}

PyObject* enter(PyObject* self, PyObject*) {
  return method(self, [](const LimiterCore& core) { return admission(core, AdmissionCall::enter); });
}

PyObject* release(PyObject* self, PyObject*) {
  return method(self, [](const LimiterCore& core) {
    return known_at_once<AtServer::release>(core, give_back, give_back_owed, [](std::monostate) { return bridge::empty_tuple(); });
  });
}

PyObject* get_remaining(PyObject* self, PyObject*) {
  return method(self, [](const LimiterCore& core) {
    return known_at_once<AtServer::read_ahead>(
        core, read_remaining, read_remaining, [](const engine::RemainingReport& report) { return remaining_as_dict(report); });
  });
}

PyObject* wait_time(PyObject* self, PyObject*) {
  return method(self, [](const LimiterCore& core) {
    return known_at_once<AtServer::read_ahead>(
        core, read_wait, read_wait, [](std::optional<std::chrono::nanoseconds> wait) { return wait_as_float(wait); });
  });
}

PyObject* key_use(PyObject* self, PyObject*) {
  return method(self, [](const LimiterCore& core) {
    return known_at_once<AtServer::nothing>(core, read_key_use, read_key_use, key_use_as_dict);
  });
}

PyObject* exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return method(self, [&](const LimiterCore& core) -> Result<PyRef> {
    if (auto ok = check_exit_arguments(kClassName, "__aexit__", args, kwargs); !ok) return std::unexpected(std::move(ok.error()));
    return known_at_once<AtServer::release>(
        core, give_back, give_back_owed, [](std::monostate) -> Result<PyRef> { return PyRef::borrow(Py_False); },
        [](PyObject* event_loop, Result<PyRef>) {
          return bridge::shared_completed_future(event_loop, bridge::SharedResult::false_value);
        });
  });
}

// What a decorated function becomes: each call returns a Future of the
// function's result, after admission. Coroutine functions run on the loop
// as a task of their own; anything else is called off the loop.
class AsyncRateLimitedCall final : public Closure {
 public:
  AsyncRateLimitedCall(PyRef func, LimiterCore core, bool is_coroutine_function)
      : func_(std::move(func)), core_(std::move(core)), is_coroutine_function_(is_coroutine_function) {}

  Result<PyRef> call(PyObject* args, PyObject* kwargs) override {
    if (!func_) return std::unexpected(cleared_closure_error());
    if (is_coroutine_function_) return call_coroutine_function(core_, func_, args, kwargs);
    return call_through_job(core_, func_, args, kwargs, /*coroutine_function=*/false);
  }

  int traverse(visitproc visit, void* arg) const override { return visit_reference(func_, visit, arg); }
  void clear() override { clear_reference(func_); }

 private:
  PyRef func_;
  LimiterCore core_;
  bool is_coroutine_function_;
};

PyObject* decorate(PyObject* self, PyObject* args, PyObject* kwargs) {
  return method(self, [&](const LimiterCore& core) -> Result<PyRef> {
    auto func = decorated_function(kClassName, args, kwargs);
    if (!func) return std::unexpected(std::move(func.error()));
    PyObject* wrapped = func->get();
    const bool coroutine_function = is_coroutine_function(wrapped);
    // Every call gives a Future to await, whatever `func` is: frameworks that
    // ask must await it, not run it on a thread with no loop.
    return make_decorated_function(std::make_unique<AsyncRateLimitedCall>(std::move(*func), core, coroutine_function), wrapped,
                                   /*returns_awaitable=*/true);
  });
}

PyObject* reserve(PyObject* self, PyObject* args, PyObject* kwargs) {
  return method(self, [&](const LimiterCore& core) { return reserve_on_loop(core, args, kwargs); });
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return construct_limiter(type, args, kwargs, kClassName);
}

PyObject* shared(PyObject* cls, PyObject* args, PyObject* kwargs) {
  return construct_shared_limiter(reinterpret_cast<PyTypeObject*>(cls), args, kwargs, kClassName);
}

// limiter[key]: see key_view.cpp.
PyObject* key_view(PyObject* self, PyObject* key) { return limiter_key_view(self, key, async_rate_limiter_cell, kClassName); }

PyObject* repr(PyObject* self) { return limiter_repr(self, kClassName); }

PyMethodDef methods[] = {
    {"__aenter__", as_method(enter), METH_NOARGS, "__aenter__($self)\n--\n\n"},
    {"__aexit__", as_method(exit), METH_VARARGS | METH_KEYWORDS, "__aexit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"},
    {"acquire", as_method(acquire), METH_VARARGS | METH_KEYWORDS, "acquire($self, cost=1, timeout=None)\n--\n\n"},
    {"release", as_method(release), METH_NOARGS, "release($self)\n--\n\n"},
    {"reserve", as_method(reserve), METH_VARARGS | METH_KEYWORDS, "reserve($self, cost, timeout=None)\n--\n\n"},
    {"get_remaining", as_method(get_remaining), METH_NOARGS, "get_remaining($self)\n--\n\n"},
    {"wait_time", as_method(wait_time), METH_NOARGS, "wait_time($self)\n--\n\n"},
    {"key_use", as_method(key_use), METH_NOARGS, "key_use($self)\n--\n\n"},
    {"shared", as_method(shared), METH_CLASS | METH_VARARGS | METH_KEYWORDS, kSharedDoc},
    {nullptr, nullptr, 0, nullptr},
};

const ClassDefinition definition = {
    kClassName, kQualifiedName, kConstructorSignature, construct, decorate,
    release_limiter, methods, sizeof(LimiterObject), key_view, repr,
};

}  // namespace

Result<PyTypeObject*> async_rate_limiter_class() { return class_in_cell(async_rate_limiter_cell, definition); }

}  // namespace quellgate
