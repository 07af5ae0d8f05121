#include "limiters/shared_limiter.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>

#include "frame/binding.hpp"
#include "frame/boundary.hpp"
#include "frame/gil.hpp"
#include "homes/redis_home.hpp"
#include "homes/shared_memory_home.hpp"
#include "limiters/limiter_object.hpp"
#include "limiters/releases_at_exit.hpp"
#include "limiters/storage_error.hpp"

namespace quellgate {
namespace {

constexpr std::uint64_t kModeBits = 0777;

constexpr std::array<const char*, 16> kSharedKeywords = {
    "sec",       "min",  "hour",    "day",           "sec_window",      "min_window", "hour_window", "day_window",
    "blocking",  "max_burst", "mode", "storage", "storage_timeout", "on_storage_error", "lease", "max_keys"};
enum SharedSlot : std::size_t { kMode = 10, kStorage, kStorageTimeout, kOnStorageError, kLease, kMaxKeys, kSlotCount };

constexpr std::array<const char*, 2> kRemoveKeywords = {"storage", "storage_timeout"};

constexpr std::chrono::milliseconds kDefaultStorageTimeout{1000};
constexpr std::chrono::milliseconds kDefaultLease{30000};
// About 31 years: long enough for any real setting, short enough for the
// milliseconds to stay exact.
constexpr double kLongestSeconds = 1e9;

PyError home_error(homes::HomeError failure) {
  switch (failure.kind) {
    case homes::HomeError::Kind::os:
      return os_error(failure.error_number, failure.message);
    case homes::HomeError::Kind::storage:
      return PyError::deferred(storage_error_class, std::move(failure.message));
    case homes::HomeError::Kind::unavailable:
      return PyError::deferred(not_implemented_error, std::move(failure.message));
    case homes::HomeError::Kind::invalid:
      break;
  }
  return PyError::deferred(value_error, std::move(failure.message));
}

// The name as UTF-8, a character that has none replaced (so that the
// segment refuses it, saying what a name may hold).
Result<std::string> name_argument(const char* function, PyObject* name) {
  if (!PyUnicode_Check(name)) {
    return error(type_error, std::string(function) + "() argument 'name': " +
                                 display(std::move(type_check_error(name, "PyString")).into_value().get()));
  }
  auto utf8 = owned_or_pending(PyUnicode_AsEncodedString(name, "utf-8", "replace"));
  if (!utf8) return std::unexpected(std::move(utf8.error()));
  return std::string(PyBytes_AsString(utf8->get()), static_cast<std::size_t>(PyBytes_Size(utf8->get())));
}

// Nothing when not given (or None): the segment is then created 0600, and
// an existing one is used whatever its mode (a mode given must match it).
Result<std::optional<unsigned>> mode_argument(PyObject* value) {
  if (value == nullptr || value == Py_None) return std::optional<unsigned>();
  auto mode = to_optional_u64(value, "mode");
  if (!mode) return std::unexpected(std::move(mode.error()));
  if (!*mode || **mode > kModeBits) return error(value_error, "mode must be permission bits, from 0 to 0o777");
  return std::optional<unsigned>(static_cast<unsigned>(**mode));
}

// The size of the key table: fixed when the name is created, and part of
// what every opener must agree on.
Result<std::uint64_t> max_keys_argument(PyObject* value) {
  if (value == nullptr || value == Py_None) return homes::default_max_keys();
  auto keys = to_optional_u64(value, "max_keys");
  if (!keys) return std::unexpected(std::move(keys.error()));
  if (!*keys || **keys == 0 || **keys > homes::most_max_keys()) {
    return error(value_error, "max_keys must be from 1 to " + std::to_string(homes::most_max_keys()));
  }
  return **keys;
}

// A str's text; a lone surrogate, which has no UTF-8, raises UnicodeEncodeError.
Result<std::string> utf8_of(PyObject* text) {
  auto utf8 = owned_or_pending(PyUnicode_AsUTF8String(text));
  if (!utf8) return std::unexpected(std::move(utf8.error()));
  return std::string(PyBytes_AsString(utf8->get()), static_cast<std::size_t>(PyBytes_Size(utf8->get())));
}

Result<std::optional<std::string>> storage_argument(PyObject* value) {
  if (value == nullptr || value == Py_None) return std::nullopt;
  if (!PyUnicode_Check(value)) {
    return error(type_error, "storage must be None or a URL string such as 'redis://host:6379/0', not " +
                                 display(reinterpret_cast<PyObject*>(Py_TYPE(value))));
  }
  auto text = utf8_of(value);
  if (!text) return std::unexpected(std::move(text.error()));
  return std::move(*text);
}

// Seconds as a positive int or float, in whole milliseconds (rounded).
Result<std::chrono::milliseconds> seconds_argument(PyObject* value, const char* name, std::chrono::milliseconds absent) {
  if (value == nullptr) return absent;
  if (PyBool_Check(value) || (!PyFloat_Check(value) && !PyLong_Check(value))) {
    return error(type_error, std::string(name) + " must be a number of seconds (int or float), not " +
                                 display(reinterpret_cast<PyObject*>(Py_TYPE(value))));
  }
  const double seconds = PyFloat_AsDouble(value);
  if (seconds == -1.0 && PyErr_Occurred() != nullptr) return take_pending();
  if (!std::isfinite(seconds) || seconds <= 0 || seconds > kLongestSeconds) {
    return error(value_error, std::string(name) + " must be a number of seconds above 0 and at most 1e9");
  }
  return std::chrono::milliseconds(std::llround(seconds * 1000));
}

Result<bool> admit_when_unreachable_argument(PyObject* value) {
  if (value == nullptr) return false;
  if (PyUnicode_Check(value)) {
    auto text = utf8_of(value);
    if (!text) return std::unexpected(std::move(text.error()));
    if (*text == "raise") return false;
    if (*text == "allow") return true;
  } else {
    return error(type_error, "on_storage_error must be \"raise\" or \"allow\", not " +
                                 display(reinterpret_cast<PyObject*>(Py_TYPE(value))));
  }
  return error(value_error, "on_storage_error must be \"raise\" or \"allow\", not " + display(value));
}

// The keywords that apply to one home only, refused where they mean nothing.
Result<void> check_keywords_apply(const std::array<PyObject*, kSlotCount>& bound, bool at_a_server) {
  if (at_a_server) {
    for (const std::size_t slot : {kMode, kMaxKeys}) {
      if (bound[slot] != nullptr && bound[slot] != Py_None) {
        return error(value_error, std::string(kSharedKeywords[slot]) + " applies to shared memory only, not with storage");
      }
    }
    return {};
  }
  for (const std::size_t slot : {kStorageTimeout, kOnStorageError, kLease}) {
    if (bound[slot] != nullptr) {
      return error(value_error, std::string(kSharedKeywords[slot]) +
                                    " applies only with storage=\"redis://...\"; this limiter uses shared memory");
    }
  }
  return {};
}

Result<void> move_counts_to_server(engine::LimiterCore& core, const std::string& name, const std::string& url,
                                   const std::array<PyObject*, kSlotCount>& bound) {
  auto timeout = seconds_argument(bound[kStorageTimeout], "storage_timeout", kDefaultStorageTimeout);
  if (!timeout) return std::unexpected(std::move(timeout.error()));
  auto lease = seconds_argument(bound[kLease], "lease", kDefaultLease);
  if (!lease) return std::unexpected(std::move(lease.error()));
  auto allow = admit_when_unreachable_argument(bound[kOnStorageError]);
  if (!allow) return std::unexpected(std::move(allow.error()));
  const homes::RedisHomeOptions options{*timeout, *lease, *allow};
  // The server is asked with the lock given up: other threads run meanwhile.
  auto moved = gil::without_gil([&] { return homes::move_counts_to_redis(core, url, name, options); });
  if (!moved) return std::unexpected(home_error(std::move(moved.error())));
  return send_releases_at_exit();
}

Result<PyRef> open_shared(PyTypeObject* type, PyObject* args, PyObject* kwargs, const char* class_name) {
  const std::string function = std::string(class_name) + ".shared";
  const Py_ssize_t given = PyTuple_Size(args);
  if (given != 1) {
    return error(type_error, function + "() takes exactly 1 positional argument (" + std::to_string(given) + " given)");
  }
  auto name = name_argument(function.c_str(), PyTuple_GetItem(args, 0));
  if (!name) return std::unexpected(std::move(name.error()));
  std::array<PyObject*, kSlotCount> bound{};
  const Signature signature{class_name, "shared", kSharedKeywords, 0};
  if (auto ok = bind_arguments(signature, nullptr, kwargs, bound); !ok) return std::unexpected(std::move(ok.error()));
  std::array<PyObject*, 10> limits{};
  std::copy_n(bound.begin(), limits.size(), limits.begin());
  auto core = core_from_arguments(limits);
  if (!core) return std::unexpected(std::move(core.error()));
  auto storage = storage_argument(bound[kStorage]);
  if (!storage) return std::unexpected(std::move(storage.error()));
  if (auto ok = check_keywords_apply(bound, storage->has_value()); !ok) return std::unexpected(std::move(ok.error()));
  if (*storage) {
    if (auto moved = move_counts_to_server(*core, *name, **storage, bound); !moved) return std::unexpected(std::move(moved.error()));
    return allocate_instance(type, std::move(*core));
  }
  auto mode = mode_argument(bound[kMode]);
  if (!mode) return std::unexpected(std::move(mode.error()));
  auto max_keys = max_keys_argument(bound[kMaxKeys]);
  if (!max_keys) return std::unexpected(std::move(max_keys.error()));
  if (auto moved = homes::move_counts_to_shared_memory(*core, *name, *mode, *max_keys); !moved) {
    return std::unexpected(home_error(std::move(moved.error())));
  }
  return allocate_instance(type, std::move(*core));
}

}  // namespace

PyObject* construct_shared_limiter(PyTypeObject* type, PyObject* args, PyObject* kwargs, const char* class_name) {
  return boundary([&]() -> Result<PyRef> { return open_shared(type, args, kwargs, class_name); });
}

PyObject* remove_shared(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> Result<PyRef> {
    const Py_ssize_t given = PyTuple_Size(args);
    if (given != 1) {
      return error(type_error, "remove_shared() takes exactly 1 positional argument (" + std::to_string(given) + " given)");
    }
    auto text = name_argument("remove_shared", PyTuple_GetItem(args, 0));
    if (!text) return std::unexpected(std::move(text.error()));
    std::array<PyObject*, kRemoveKeywords.size()> bound{};
    const Signature signature{"quellgate", "remove_shared", kRemoveKeywords, 0};
    if (auto ok = bind_arguments(signature, nullptr, kwargs, bound); !ok) return std::unexpected(std::move(ok.error()));
    auto storage = storage_argument(bound[0]);
    if (!storage) return std::unexpected(std::move(storage.error()));
    if (*storage) {
      auto timeout = seconds_argument(bound[1], "storage_timeout", kDefaultStorageTimeout);
      if (!timeout) return std::unexpected(std::move(timeout.error()));
      auto removed = gil::without_gil([&] { return homes::remove_redis(**storage, *text, *timeout); });
      if (!removed) return std::unexpected(home_error(std::move(removed.error())));
      return PyRef::borrow(Py_None);
    }
    if (bound[1] != nullptr) return error(value_error, "storage_timeout applies only with storage=\"redis://...\"");
    if (auto removed = homes::remove_shared_memory(*text); !removed) {
      return std::unexpected(home_error(std::move(removed.error())));
    }
    return PyRef::borrow(Py_None);
  });
}

}  // namespace quellgate
