#include "limiters/limiter_reports.hpp"

#include <string>

#include "executor/clock.hpp"
#include "limiters/storage_error.hpp"

namespace quellgate {
namespace {

// The report, unless the home says it could not read it.
template <class T>
Result<T> unless_home_failed(const engine::LimiterCore& core, T report) {
  if (core.home() != nullptr) [[unlikely]] {
    if (auto failure = core.home()->take_report_failure()) return std::unexpected(error_of(*failure));
  }
  return report;
}

}  // namespace

Result<engine::RemainingReport> read_remaining(const engine::LimiterCore& core) {
  return unless_home_failed(core, engine::report_remaining(core, executor::wall_now()));
}

Result<std::optional<std::chrono::nanoseconds>> read_wait(const engine::LimiterCore& core) {
  return unless_home_failed(core, engine::compute_wait(core, executor::wall_now()));
}

Result<PyRef> remaining_as_dict(const engine::RemainingReport& report) {
  auto dict = owned_or_pending(PyDict_New());
  if (!dict) return dict;
  for (const auto& entry : report) {
    auto value = owned_or_pending(PyLong_FromUnsignedLongLong(entry.remaining));
    if (!value) return value;
    const std::string key(entry.name);
    if (PyDict_SetItemString(dict->get(), key.c_str(), value->get()) != 0) return take_pending();
  }
  return dict;
}

Result<PyRef> wait_as_float(std::optional<std::chrono::nanoseconds> wait) {
  if (!wait) return PyRef::borrow(Py_None);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(*wait);
  const auto nanos = *wait - seconds;
  return owned_or_pending(PyFloat_FromDouble(static_cast<double>(seconds.count()) + static_cast<double>(nanos.count()) / 1e9));
}

}  // namespace quellgate
