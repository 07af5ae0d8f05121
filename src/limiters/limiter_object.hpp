#pragma once
#include <array>

#include "engine/limiter_core.hpp"
#include "frame/boundary.hpp"

namespace quellgate {

// The instance record shared by RateLimiter and AsyncRateLimiter: the object
// header, then the limiter's state. Methods only read it; copies of the core
// share its windows, burst count and interrupt flag.
struct LimiterObject {
  PyObject_HEAD
  engine::LimiterCore core;
  // A key's view (limiter[key]): the key, a str, for repr; null otherwise.
  // A str refers to nothing, so the instance joins no reference cycle.
  PyObject* key;
};

constexpr const char* kConstructorSignature =
    "(sec=None, min=None, hour=None, day=None, sec_window=None, min_window=None, hour_window=None, "
    "day_window=None, blocking=True, max_burst=None)";

// The constructor's ten parameters, in order.
extern const std::array<const char*, 10> kParameterNames;

// The ten arguments, bound in that order (NULL where absent), converted and
// validated into a limiter that counts in this process.
Result<engine::LimiterCore> core_from_arguments(const std::array<PyObject*, 10>& bound);
// A new instance of `type` holding `core`.
Result<PyRef> allocate_instance(PyTypeObject* type, engine::LimiterCore core);

// mp_subscript of both classes: limiter[key], a new instance of the
// receiver's class counting for `key` (see LimiterCore::for_key).
PyObject* limiter_key_view(PyObject* self, PyObject* key, PyTypeObject* type, const char* class_name);
// tp_repr of both classes: a view names its key.
PyObject* limiter_repr(PyObject* self, const char* class_name);

// tp_new of both classes: binds and converts the ten arguments, validates
// them and builds the instance.
PyObject* construct_limiter(PyTypeObject* type, PyObject* args, PyObject* kwargs, const char* class_name);
// tp_dealloc of both classes.
void release_limiter(PyObject* self);

// The one argument of `__call__(func)`, as a new reference.
Result<PyRef> decorated_function(const char* class_name, PyObject* args, PyObject* kwargs);
// `__exit__` / `__aexit__`: three required arguments, otherwise ignored.
Result<void> check_exit_arguments(const char* class_name, const char* method_name, PyObject* args, PyObject* kwargs);

// The receiver's core, after checking that it is an instance of `type`.
Result<const engine::LimiterCore*> limiter_core(PyObject* self, PyTypeObject* type, const char* class_name);

// A method of either class: the body runs on the receiver's core, inside the
// boundary.
template <class Body>
PyObject* limiter_method(PyObject* self, PyTypeObject* type, const char* class_name, Body&& body) {
  return boundary([&]() -> Result<PyRef> {
    auto core = limiter_core(self, type, class_name);
    if (!core) return std::unexpected(std::move(core.error()));
    return body(**core);
  });
}

}  // namespace quellgate
