#include "limiters/limiter_reports.hpp"

#include <string>
#include <utility>

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

Result<std::optional<engine::CountHome::KeyTableUse>> read_key_use(const engine::LimiterCore& core) {
  if (core.home() == nullptr) return std::nullopt;
  return unless_home_failed(core, core.home()->key_table_use());
}

Result<PyRef> key_use_as_dict(const std::optional<engine::CountHome::KeyTableUse>& use) {
  if (!use) return PyRef::borrow(Py_None);
  auto dict = owned_or_pending(PyDict_New());
  if (!dict) return dict;
  for (const auto& [key, number] : {std::pair{"live", use->live}, {"max_keys", use->max_keys}, {"refused", use->refused}}) {
    auto value = owned_or_pending(PyLong_FromUnsignedLongLong(number));
    if (!value) return value;
    if (PyDict_SetItemString(dict->get(), key, value->get()) != 0) return take_pending();
  }
  return dict;
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
