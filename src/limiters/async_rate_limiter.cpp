// AsyncRateLimiter: the limiter for asyncio code. Every method returns an
// asyncio Future of the running loop at once; the work, waits included, runs
// as a job on the background executor and is delivered on the loop's thread.
#include <array>
#include <variant>

#include "limiters/async_admission.hpp"
#include "limiters/async_wrapped_call.hpp"
#include "bridge/asyncio_lookups.hpp"
#include "bridge/bridge_start.hpp"
#include "frame/class_factory.hpp"
#include "frame/classes.hpp"
#include "frame/closure.hpp"
#include "engine/admission.hpp"
#include "executor/clock.hpp"
#include "limiters/limiter_object.hpp"
#include "limiters/limiter_reports.hpp"

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
  return bridge::Delivery{std::move(*value), std::nullopt};
}

// Admitted: () with the permit riding along until the Future has it.
bridge::Outcome admitted(engine::BurstPermit permit) {
  auto unit = bridge::empty_tuple();
  if (!unit) return std::unexpected(std::move(unit.error()));
  return bridge::Delivery{std::move(*unit), std::move(permit)};
}

executor::Task<Result<std::monostate>> release_in_job(LimiterCore core) {
  engine::release_burst(core);
  co_return std::monostate{};
}

executor::Task<Result<engine::RemainingReport>> report_in_job(LimiterCore core) {
  co_return engine::report_remaining(core, executor::wall_now());
}

executor::Task<Result<std::optional<std::chrono::nanoseconds>>> wait_in_job(LimiterCore core) {
  co_return engine::compute_wait(core, executor::wall_now());
}

PyObject* acquire(PyObject* self, PyObject*) {
  return method(self, [](const LimiterCore& core) {
    core.clear_interrupt();
    return bridge::bridge_start<MaybePermit>(admit_in_job(core), [](MaybePermit permit) -> bridge::Outcome {
      if (!permit) return plain(PyRef::borrow(Py_None));
      return admitted(std::move(*permit));
    });
  });
}

PyObject* enter(PyObject* self, PyObject*) {
  return method(self, [](const LimiterCore& core) {
    core.clear_interrupt();
    return bridge::bridge_start<MaybePermit>(admit_in_job(core), [](MaybePermit permit) -> bridge::Outcome {
      if (!permit) return std::unexpected(PyError::deferred(value_error, "Failed to acquire permit"));
      return admitted(std::move(*permit));
    });
  });
}

PyObject* release(PyObject* self, PyObject*) {
  return method(self, [](const LimiterCore& core) {
    return bridge::bridge_start<std::monostate>(release_in_job(core), [](std::monostate) { return plain(bridge::empty_tuple()); });
  });
}

PyObject* get_remaining(PyObject* self, PyObject*) {
  return method(self, [](const LimiterCore& core) {
    return bridge::bridge_start<engine::RemainingReport>(
        report_in_job(core), [](const engine::RemainingReport& report) { return plain(remaining_as_dict(report)); });
  });
}

PyObject* wait_time(PyObject* self, PyObject*) {
  return method(self, [](const LimiterCore& core) {
    return bridge::bridge_start<std::optional<std::chrono::nanoseconds>>(
        wait_in_job(core), [](std::optional<std::chrono::nanoseconds> wait) { return plain(wait_as_float(wait)); });
  });
}

PyObject* exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return method(self, [&](const LimiterCore& core) -> Result<PyRef> {
    if (auto ok = check_exit_arguments(kClassName, "__aexit__", args, kwargs); !ok) return std::unexpected(std::move(ok.error()));
    return bridge::bridge_start<std::monostate>(release_in_job(core),
                                                [](std::monostate) { return plain(PyRef::borrow(Py_False)); });
  });
}

// What a decorated (usually coroutine) function becomes: each call returns a
// Future of the function's result, after admission.
class AsyncRateLimitedCall final : public Closure {
 public:
  AsyncRateLimitedCall(PyRef func, LimiterCore core) : func_(std::move(func)), core_(std::move(core)) {}

  Result<PyRef> call(PyObject* args, PyObject* kwargs) override {
    if (!func_) return std::unexpected(cleared_closure_error());
    auto call = WrappedCall::capture(func_, args, kwargs);
    if (!call) return std::unexpected(std::move(call.error()));
    return bridge::bridge_start<PyRef>(run_wrapped_call(core_, std::move(*call)), [](PyRef value) { return plain(std::move(value)); });
  }

  int traverse(visitproc visit, void* arg) const override { return visit_reference(func_, visit, arg); }
  void clear() override { clear_reference(func_); }

 private:
  PyRef func_;
  LimiterCore core_;
};

PyObject* decorate(PyObject* self, PyObject* args, PyObject* kwargs) {
  return method(self, [&](const LimiterCore& core) -> Result<PyRef> {
    auto func = decorated_function(kClassName, args, kwargs);
    if (!func) return std::unexpected(std::move(func.error()));
    return make_closure(std::make_unique<AsyncRateLimitedCall>(std::move(*func), core));
  });
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return construct_limiter(type, args, kwargs, kClassName);
}

PyMethodDef methods[] = {
    {"__aenter__", as_method(enter), METH_NOARGS, "__aenter__($self)\n--\n\n"},
    {"__aexit__", as_method(exit), METH_VARARGS | METH_KEYWORDS, "__aexit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"},
    {"acquire", as_method(acquire), METH_NOARGS, "acquire($self)\n--\n\n"},
    {"release", as_method(release), METH_NOARGS, "release($self)\n--\n\n"},
    {"get_remaining", as_method(get_remaining), METH_NOARGS, "get_remaining($self)\n--\n\n"},
    {"wait_time", as_method(wait_time), METH_NOARGS, "wait_time($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

const ClassDefinition definition = {
    kClassName, kQualifiedName, kConstructorSignature, construct, decorate,
    release_limiter, methods, sizeof(LimiterObject),
};

}  // namespace

Result<PyTypeObject*> async_rate_limiter_class() { return class_in_cell(async_rate_limiter_cell, definition); }

}  // namespace quellgate
