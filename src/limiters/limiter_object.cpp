#include "limiters/limiter_object.hpp"

#include <array>
#include <new>

#include "frame/binding.hpp"
#include "frame/boundary.hpp"
#include "engine/limits.hpp"
#include "frame/fault.hpp"

namespace quellgate {

const std::array<const char*, 10> kParameterNames = {"sec",        "min",         "hour",       "day",      "sec_window",
                                                      "min_window", "hour_window", "day_window", "blocking", "max_burst"};

namespace {

Result<engine::LimitArgs> convert_arguments(const std::array<PyObject*, 10>& bound) {
  engine::LimitArgs limits;
  std::optional<std::uint64_t>* integers[] = {&limits.sec,        &limits.min,         &limits.hour,       &limits.day,
                                              &limits.sec_window, &limits.min_window, &limits.hour_window, &limits.day_window};
  for (std::size_t i = 0; i < 8; ++i) {
    auto converted = to_optional_u64(bound[i], kParameterNames[i]);
    if (!converted) return std::unexpected(std::move(converted.error()));
    *integers[i] = *converted;
  }
  auto blocking = to_strict_bool(bound[8], kParameterNames[8], true);
  if (!blocking) return std::unexpected(std::move(blocking.error()));
  limits.blocking = *blocking;
  auto max_burst = to_optional_u64(bound[9], kParameterNames[9]);
  if (!max_burst) return std::unexpected(std::move(max_burst.error()));
  limits.max_burst = *max_burst;
  return limits;
}

}  // namespace

Result<PyRef> allocate_instance(PyTypeObject* type, engine::LimiterCore core) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  if (alloc == nullptr) alloc = PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return take_pending();
  new (&reinterpret_cast<LimiterObject*>(self)->core) engine::LimiterCore(std::move(core));
  reinterpret_cast<LimiterObject*>(self)->key = nullptr;
  return PyRef::steal(self);
}

Result<engine::LimiterCore> core_from_arguments(const std::array<PyObject*, 10>& bound) {
  auto limits = convert_arguments(bound);
  if (!limits) return std::unexpected(std::move(limits.error()));
  auto core = engine::make_limiter_core(*limits);
  if (!core) return error(value_error, std::move(core.error().message));
  return std::move(*core);
}

PyObject* construct_limiter(PyTypeObject* type, PyObject* args, PyObject* kwargs, const char* class_name) {
  return boundary([&]() -> Result<PyRef> {
    std::array<PyObject*, 10> bound{};
    const Signature signature{class_name, "__new__", kParameterNames, 0};
    if (auto ok = bind_arguments(signature, args, kwargs, bound); !ok) return std::unexpected(std::move(ok.error()));
    auto core = core_from_arguments(bound);
    if (!core) return std::unexpected(std::move(core.error()));
    return allocate_instance(type, std::move(*core));
  });
}

void release_limiter(PyObject* self) {
  release_boundary([&]() -> Result<void> {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<LimiterObject*>(self)->core.~LimiterCore();
    if (PyObject* key = reinterpret_cast<LimiterObject*>(self)->key) Py_DecRef(key);
    auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    if (free_memory == nullptr) fault("PyBaseObject_Type should have tp_free");
    free_memory(self);
    // Instances of heap types hold a reference to their type.
    Py_DecRef(reinterpret_cast<PyObject*>(type));
    return {};
  });
}

Result<PyRef> decorated_function(const char* class_name, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 1> names = {"func"};
  std::array<PyObject*, 1> bound{};
  if (auto ok = bind_arguments({class_name, "__call__", names, 1}, args, kwargs, bound); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  return PyRef::borrow(bound[0]);
}

Result<void> check_exit_arguments(const char* class_name, const char* method_name, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 3> names = {"_exc_type", "_exc_value", "_traceback"};
  std::array<PyObject*, 3> ignored{};
  return bind_arguments({class_name, method_name, names, 3}, args, kwargs, ignored);
}

Result<const engine::LimiterCore*> limiter_core(PyObject* self, PyTypeObject* type, const char* class_name) {
  if (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type)) {
    return std::unexpected(type_check_error(self, class_name));
  }
  return &reinterpret_cast<LimiterObject*>(self)->core;
}

}  // namespace quellgate
