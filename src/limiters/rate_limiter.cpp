// RateLimiter: the limiter for threaded code. Waits block the calling thread
// with the interpreter lock released and stay interruptible by Ctrl+C.
#include <array>

#include "limiters/blocking_admission.hpp"
#include "frame/boundary.hpp"
#include "frame/class_factory.hpp"
#include "frame/classes.hpp"
#include "frame/closure.hpp"
#include "frame/decorated_function.hpp"
#include "engine/admission.hpp"
#include "engine/report.hpp"
#include "executor/clock.hpp"
#include "frame/gil.hpp"
#include "limiters/home_lock.hpp"
#include "limiters/server_attempt.hpp"
#include "limiters/limiter_object.hpp"
#include "limiters/limiter_reports.hpp"
#include "limiters/reservation.hpp"
#include "limiters/release_on_thread.hpp"
#include "limiters/shared_limiter.hpp"

namespace quellgate {
namespace {

constexpr const char* kClassName = "RateLimiter";
constexpr const char* kQualifiedName = "builtins.RateLimiter";
PyTypeObject* rate_limiter_cell = nullptr;

template <class Body>
PyObject* method(PyObject* self, Body&& body) {
  return limiter_method(self, rate_limiter_cell, kClassName, std::forward<Body>(body));
}

Result<PyRef> refused_permit() { return error(value_error, "Failed to acquire permit"); }

// acquire() with arguments: a cost, a timeout.
[[gnu::noinline]] Result<bool> admit_as_asked(const engine::LimiterCore& core, PyObject* args, PyObject* kwargs) {
  auto request = bind_request(core, kClassName, "acquire", args, kwargs, /*cost_required=*/false);
  if (!request) return std::unexpected(std::move(request.error()));
  return admit_on_this_thread(core, *request);
}

Result<PyRef> as_bool(Result<bool> admitted) {
  if (!admitted) return std::unexpected(std::move(admitted.error()));
  return PyRef::borrow(*admitted ? Py_True : Py_False);
}

PyObject* acquire(PyObject* self, PyObject* args, PyObject* kwargs) {
  return method(self, [&](const engine::LimiterCore& core) -> Result<PyRef> {
    if (no_arguments(args, kwargs)) [[likely]] return as_bool(admit_on_this_thread(core));
    return as_bool(admit_as_asked(core, args, kwargs));
  });
}

PyObject* release(PyObject* self, PyObject*) {
  return method(self, [](const engine::LimiterCore& core) -> Result<PyRef> {
    if (auto released = release_on_this_thread(core); !released) return std::unexpected(std::move(released.error()));
    return PyRef::borrow(Py_None);
  });
}

// A report read on this thread: with the interpreter lock given up while a
// server is asked, or while it waits for the home's lock.
template <class Read>
auto read_on_this_thread(const engine::LimiterCore& core, Read read) {
  if (asks_a_server(core)) [[unlikely]] return gil::without_gil([&] { return read(core); });
  return at_home_on_thread(core, read, read);
}

PyObject* get_remaining(PyObject* self, PyObject*) {
  return method(self, [](const engine::LimiterCore& core) -> Result<PyRef> {
    // In the process, nothing can fail: the report goes straight to the dict.
    if (core.home() == nullptr) [[likely]] return remaining_as_dict(engine::report_remaining(core, executor::wall_now()));
    auto report = read_on_this_thread(core, read_remaining);
    if (!report) return std::unexpected(std::move(report.error()));
    return remaining_as_dict(*report);
  });
}

PyObject* wait_time(PyObject* self, PyObject*) {
  return method(self, [](const engine::LimiterCore& core) -> Result<PyRef> {
    if (core.home() == nullptr) [[likely]] return wait_as_float(engine::compute_wait(core, executor::wall_now()));
    auto wait = read_on_this_thread(core, read_wait);
    if (!wait) return std::unexpected(std::move(wait.error()));
    return wait_as_float(*wait);
  });
}

PyObject* key_use(PyObject* self, PyObject*) {
  return method(self, [](const engine::LimiterCore& core) -> Result<PyRef> {
    auto use = read_on_this_thread(core, read_key_use);
    if (!use) return std::unexpected(std::move(use.error()));
    return key_use_as_dict(*use);
  });
}

PyObject* enter(PyObject* self, PyObject*) {
  return method(self, [](const engine::LimiterCore& core) -> Result<PyRef> {
    auto admitted = admit_on_this_thread(core);
    if (!admitted) return std::unexpected(std::move(admitted.error()));
    if (!*admitted) return refused_permit();
    return PyRef::borrow(Py_None);
  });
}

PyObject* exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return method(self, [&](const engine::LimiterCore& core) -> Result<PyRef> {
    if (auto ok = check_exit_arguments(kClassName, "__exit__", args, kwargs); !ok) return std::unexpected(std::move(ok.error()));
    if (auto released = release_on_this_thread(core); !released) return std::unexpected(std::move(released.error()));
    return PyRef::borrow(Py_False);
  });
}

// What a decorated function becomes: every call is admitted first, and its
// burst permit goes back once the function returns or raises.
class RateLimitedCall final : public Closure {
 public:
  RateLimitedCall(PyRef func, engine::LimiterCore core) : func_(std::move(func)), core_(std::move(core)) {}

  Result<PyRef> call(PyObject* args, PyObject* kwargs) override {
    if (!func_) return std::unexpected(cleared_closure_error());
    auto admitted = admit_on_this_thread(core_);
    if (!admitted) return std::unexpected(std::move(admitted.error()));
    if (!*admitted) return refused_permit();
    engine::BurstPermit permit(core_);
    // Looked at again: the wait gives the lock up, and a collection meanwhile
    // may have cleared it.
    if (!func_) return std::unexpected(cleared_closure_error());
    auto result = owned_or_pending(PyObject_Call(func_.get(), args, kwargs));
    // Given back as release() does, once the call is over either way. The
    // call's own outcome wins over a release that gave up waiting for a held
    // lock: that release stays owed, and the home makes it later.
    if (permit.holds_permit()) {
      permit.hand_over();
      static_cast<void>(release_on_this_thread(core_));
    }
    return result;
  }

  int traverse(visitproc visit, void* arg) const override { return visit_reference(func_, visit, arg); }
  void clear() override { clear_reference(func_); }

 private:
  PyRef func_;
  engine::LimiterCore core_;
};

PyObject* decorate(PyObject* self, PyObject* args, PyObject* kwargs) {
  return method(self, [&](const engine::LimiterCore& core) -> Result<PyRef> {
    auto func = decorated_function(kClassName, args, kwargs);
    if (!func) return std::unexpected(std::move(func.error()));
    PyObject* wrapped = func->get();
    // An `async def` stays one: its calls give the coroutine it made.
    const bool coroutine_function = is_coroutine_function_cheaply(wrapped);
    return make_decorated_function(std::make_unique<RateLimitedCall>(std::move(*func), core), wrapped, coroutine_function);
  });
}

PyObject* reserve(PyObject* self, PyObject* args, PyObject* kwargs) {
  return method(self, [&](const engine::LimiterCore& core) { return reserve_on_thread(core, args, kwargs); });
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return construct_limiter(type, args, kwargs, kClassName);
}

PyObject* shared(PyObject* cls, PyObject* args, PyObject* kwargs) {
  return construct_shared_limiter(reinterpret_cast<PyTypeObject*>(cls), args, kwargs, kClassName);
}

// limiter[key]: see key_view.cpp.
PyObject* key_view(PyObject* self, PyObject* key) { return limiter_key_view(self, key, rate_limiter_cell, kClassName); }

PyObject* repr(PyObject* self) { return limiter_repr(self, kClassName); }

PyMethodDef methods[] = {
    {"__enter__", as_method(enter), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", as_method(exit), METH_VARARGS | METH_KEYWORDS, "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"},
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

Result<PyTypeObject*> rate_limiter_class() { return class_in_cell(rate_limiter_cell, definition); }

}  // namespace quellgate
