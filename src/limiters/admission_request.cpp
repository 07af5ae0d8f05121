#include "limiters/admission_request.hpp"

#include <cmath>
#include <limits>
#include <string>

#include <array>

#include "engine/cost.hpp"
#include "frame/binding.hpp"
#include "executor/clock.hpp"

namespace quellgate {
namespace {

using std::chrono::nanoseconds;

std::string type_name(PyObject* value) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
  if (!name) {
    PyErr_Clear();
    return "?";
  }
  return display(name.get());
}

Result<double> seconds_argument(PyObject* value) {
  const double seconds = PyFloat_AsDouble(value);
  if (seconds == -1.0 && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    return error(type_error, "argument 'timeout': must be a real number or None, not " + type_name(value));
  }
  if (std::isnan(seconds) || seconds < 0) return error(value_error, "timeout must be a number >= 0 or None");
  return seconds;
}

// `seconds` as a duration; none when it is beyond what the clock can count
// (an infinite timeout among them): a wait without end.
std::optional<nanoseconds> duration_of(double seconds) {
  const double wanted = std::ceil(seconds * 1e9);
  if (wanted >= 9.0e18) return std::nullopt;
  return nanoseconds(static_cast<nanoseconds::rep>(wanted));
}

}  // namespace

PyObject* known_empty_tuple = nullptr;

bool is_empty_tuple(PyObject* args) noexcept {
  if (args == nullptr) return true;
  if (PyTuple_Size(args) != 0) return false;
  if (known_empty_tuple == nullptr) known_empty_tuple = PyRef::borrow(args).release();
  return true;
}

void set_deadline_after(engine::AdmissionLoop& loop, nanoseconds timeout) {
  const nanoseconds now = executor::monotonic_now();
  if (timeout < nanoseconds::max() - now) loop.set_deadline({now + timeout, executor::monotonic_now});
}

Result<std::uint64_t> count_argument(PyObject* value, const char* name, std::uint64_t minimum) {
  const std::string prefix = "argument '" + std::string(name) + "': ";
  if (PyBool_Check(value)) return error(type_error, prefix + "must be an int, not bool");
  auto index = owned_or_pending(PyNumber_Index(value));
  if (!index) {
    PyErr_Clear();
    return error(type_error, prefix + "must be an int, not " + type_name(value));
  }
  int overflow = 0;
  const long long count = PyLong_AsLongLongAndOverflow(index->get(), &overflow);
  if (count == -1 && PyErr_Occurred() != nullptr) return take_pending();
  if (overflow > 0) return error(value_error, std::string(name) + " must be at most " + std::to_string(std::numeric_limits<long long>::max()));
  if (overflow < 0 || count < 0 || static_cast<std::uint64_t>(count) < minimum) {
    return error(value_error, std::string(name) + " must be an int >= " + std::to_string(minimum));
  }
  return static_cast<std::uint64_t>(count);
}

Result<AdmissionRequest> request_from(const engine::LimiterCore& core, PyObject* cost, PyObject* timeout) {
  AdmissionRequest request;
  if (cost != nullptr) {
    auto converted = count_argument(cost, "cost", 1);
    if (!converted) return std::unexpected(std::move(converted.error()));
    if (auto too_large = engine::check_cost(core, *converted)) return error(value_error, std::move(too_large->message));
    request.cost = *converted;
  }
  if (timeout != nullptr && timeout != Py_None) {
    auto seconds = seconds_argument(timeout);
    if (!seconds) return std::unexpected(std::move(seconds.error()));
    // 0 tries once, as a non-blocking limiter does.
    request.waits = *seconds > 0;
    if (*seconds > 0) request.timeout = duration_of(*seconds);
  }
  return request;
}

Result<AdmissionRequest> bind_request(const engine::LimiterCore& core, const char* class_name, const char* method_name,
                                      PyObject* args, PyObject* kwargs, bool cost_required) {
  static constexpr std::array<const char*, 2> names = {"cost", "timeout"};
  std::array<PyObject*, 2> bound{};
  const Signature signature{class_name, method_name, names, cost_required ? 1u : 0u};
  if (auto ok = bind_arguments(signature, args, kwargs, bound); !ok) return std::unexpected(std::move(ok.error()));
  return request_from(core, bound[0], bound[1]);
}

}  // namespace quellgate
