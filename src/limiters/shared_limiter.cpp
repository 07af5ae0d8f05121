#include "limiters/shared_limiter.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "frame/binding.hpp"
#include "frame/boundary.hpp"
#include "homes/shared_memory_home.hpp"
#include "limiters/limiter_object.hpp"

namespace quellgate {
namespace {

constexpr unsigned kDefaultMode = 0600;
constexpr std::uint64_t kModeBits = 0777;

constexpr std::array<const char*, 11> kSharedKeywords = {"sec",         "min",        "hour",     "day",
                                                         "sec_window",  "min_window", "hour_window",
                                                         "day_window",  "blocking",   "max_burst", "mode"};

PyError home_error(homes::HomeError failure) {
  if (failure.kind == homes::HomeError::Kind::os) return os_error(failure.error_number, failure.message);
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

Result<unsigned> mode_argument(PyObject* value) {
  auto mode = to_optional_u64(value, "mode");
  if (!mode) return std::unexpected(std::move(mode.error()));
  if (value == nullptr) return kDefaultMode;
  if (!*mode || **mode > kModeBits) return error(value_error, "mode must be permission bits, from 0 to 0o777");
  return static_cast<unsigned>(**mode);
}

Result<PyRef> open_shared(PyTypeObject* type, PyObject* args, PyObject* kwargs, const char* class_name) {
  const std::string function = std::string(class_name) + ".shared";
  const Py_ssize_t given = PyTuple_Size(args);
  if (given != 1) {
    return error(type_error, function + "() takes exactly 1 positional argument (" + std::to_string(given) + " given)");
  }
  auto name = name_argument(function.c_str(), PyTuple_GetItem(args, 0));
  if (!name) return std::unexpected(std::move(name.error()));
  std::array<PyObject*, 11> bound{};
  const Signature signature{class_name, "shared", kSharedKeywords, 0};
  if (auto ok = bind_arguments(signature, nullptr, kwargs, bound); !ok) return std::unexpected(std::move(ok.error()));
  std::array<PyObject*, 10> limits{};
  std::copy_n(bound.begin(), limits.size(), limits.begin());
  auto core = core_from_arguments(limits);
  if (!core) return std::unexpected(std::move(core.error()));
  auto mode = mode_argument(bound[10]);
  if (!mode) return std::unexpected(std::move(mode.error()));
  if (auto moved = homes::move_counts_to_shared_memory(*core, *name, *mode); !moved) {
    return std::unexpected(home_error(std::move(moved.error())));
  }
  return allocate_instance(type, std::move(*core));
}

}  // namespace

PyObject* construct_shared_limiter(PyTypeObject* type, PyObject* args, PyObject* kwargs, const char* class_name) {
  return boundary([&]() -> Result<PyRef> { return open_shared(type, args, kwargs, class_name); });
}

PyObject* remove_shared(PyObject*, PyObject* name) {
  return boundary([&]() -> Result<PyRef> {
    auto text = name_argument("remove_shared", name);
    if (!text) return std::unexpected(std::move(text.error()));
    if (auto removed = homes::remove_shared_memory(*text); !removed) {
      return std::unexpected(home_error(std::move(removed.error())));
    }
    return PyRef::borrow(Py_None);
  });
}

}  // namespace quellgate
