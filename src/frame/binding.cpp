#include "frame/binding.hpp"

#include <string>
#include <vector>

#include "frame/fault.hpp"

namespace quellgate {
namespace {

std::string full_name(const Signature& s) { return std::string(s.class_name) + "." + s.function_name + "()"; }

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() >= 3) text += ",";
      text += i + 1 == names.size() ? " and " : " ";
    }
    text += "'" + std::string(names[i]) + "'";
  }
  return text;
}

std::unexpected<PyError> too_many_positional(const Signature& s, Py_ssize_t given) {
  std::string text = full_name(s);
  if (s.required != s.names.size()) {
    text += " takes from " + std::to_string(s.required) + " to " + std::to_string(s.names.size());
  } else {
    text += " takes " + std::to_string(s.names.size());
  }
  text += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
  return error(type_error, std::move(text));
}

Result<void> bind_keywords(const Signature& s, PyObject* kwargs, std::span<PyObject*> slots) {
  Py_ssize_t position = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (PyDict_Next(kwargs, &position, &key, &value)) {
    std::size_t index = s.names.size();
    if (PyUnicode_Check(key)) {
      for (std::size_t i = 0; i < s.names.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, s.names[i]) == 0) {
          index = i;
          break;
        }
      }
    }
    if (index == s.names.size()) {
      return error(type_error, full_name(s) + " got an unexpected keyword argument '" + display(key) + "'");
    }
    if (slots[index] != nullptr) {
      return error(type_error, full_name(s) + " got multiple values for argument '" + s.names[index] + "'");
    }
    slots[index] = value;
  }
  return {};
}

std::unexpected<PyError> with_argument_name(PyError failure, const char* name) {
  PyRef original = std::move(failure).into_value();
  if (reinterpret_cast<PyObject*>(Py_TYPE(original.get())) != PyExc_TypeError) {
    return std::unexpected(PyError::from_value(std::move(original)));
  }
  std::string text = "argument '" + std::string(name) + "': " + display(original.get());
  PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!message) api_call_failed();
  PyObject* replacement = PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr);
  if (replacement == nullptr) return take_pending();
  PyException_SetCause(replacement, PyException_GetCause(original.get()));
  return std::unexpected(PyError::from_value(PyRef::steal(replacement)));
}

Result<std::uint64_t> unsigned_from_int(PyObject* integer) {
  const unsigned long long converted = PyLong_AsUnsignedLongLong(integer);
  if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return take_pending();
  return static_cast<std::uint64_t>(converted);
}

bool is_numpy_bool(PyObject* value) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
  PyRef type_name = PyRef::steal(PyObject_GetAttrString(type, "__name__"));
  if (!module || !type_name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         PyUnicode_Check(type_name.get()) &&
         (PyUnicode_CompareWithASCIIString(type_name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(type_name.get(), "bool") == 0);
}

Result<bool> numpy_bool_truth(PyObject* value) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  if (!PyObject_HasAttrString(type, "__bool__")) {
    return error(type_error, "object of type '" + display(type) + "' does not define a '__bool__' conversion");
  }
  auto truth = owned_or_pending(PyObject_CallMethod(value, "__bool__", nullptr));
  if (!truth) return std::unexpected(std::move(truth.error()));
  if (truth->get() != Py_True && truth->get() != Py_False) return std::unexpected(type_check_error(truth->get(), "PyBool"));
  return truth->get() == Py_True;
}

}  // namespace

Result<void> bind_arguments(const Signature& s, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots) {
  const Py_ssize_t given = args == nullptr ? 0 : PyTuple_Size(args);
  const auto capacity = static_cast<Py_ssize_t>(s.names.size());
  for (Py_ssize_t i = 0; i < given && i < capacity; ++i) slots[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
  if (given > capacity) return too_many_positional(s, given);
  if (kwargs != nullptr) {
    if (auto bound = bind_keywords(s, kwargs, slots); !bound) return bound;
  }
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < s.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(s.names[i]);
  }
  if (!missing.empty()) {
    return error(type_error, full_name(s) + " missing " + std::to_string(missing.size()) + " required positional " +
                                 (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing));
  }
  return {};
}

Result<std::optional<std::uint64_t>> to_optional_u64(PyObject* value, const char* name) {
  if (value == nullptr || value == Py_None) return std::nullopt;
  Result<std::uint64_t> converted = [&]() -> Result<std::uint64_t> {
    if (PyLong_Check(value)) return unsigned_from_int(value);
    auto index = owned_or_pending(PyNumber_Index(value));
    if (!index) return std::unexpected(std::move(index.error()));
    return unsigned_from_int(index->get());
  }();
  if (!converted) return with_argument_name(std::move(converted.error()), name);
  return *converted;
}

Result<bool> to_strict_bool(PyObject* value, const char* name, bool when_absent) {
  if (value == nullptr) return when_absent;
  if (value == Py_True || value == Py_False) return value == Py_True;
  Result<bool> truth = is_numpy_bool(value) ? numpy_bool_truth(value) : std::unexpected(type_check_error(value, "PyBool"));
  if (!truth) return with_argument_name(std::move(truth.error()), name);
  return *truth;
}

}  // namespace quellgate
