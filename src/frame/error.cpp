#include "frame/error.hpp"

#include <cstdio>

#include "frame/fault.hpp"

namespace quellgate {
namespace {

constexpr const char* kPanicDoc =
    "\nThe exception raised when Rust code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

bool is_exception_class(PyObject* object) {
  return PyType_Check(object) && (PyType_GetFlags(reinterpret_cast<PyTypeObject*>(object)) & Py_TPFLAGS_BASE_EXC_SUBCLASS);
}

// PyErr_Fetch then normalise, so callers always see an instance.
struct Fetched {
  PyRef type, value, traceback;
};
Fetched fetch_normalized() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != nullptr) PyErr_NormalizeException(&type, &value, &traceback);
  if (type != nullptr && value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  return {PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback)};
}

[[noreturn]] void resume_panic_from_python(Fetched fetched) {
  std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n", stderr);
  std::fputs("Python stack trace below:\n", stderr);
  std::string message = "Unwrapped panic from Python code";
  if (PyObject* text = PyObject_Str(fetched.value.get())) {
    PyRef owned = PyRef::steal(text);
    if (PyObject* utf8 = PyUnicode_AsUTF8String(text)) {
      message = PyBytes_AsString(utf8);
      Py_DecRef(utf8);
    }
  }
  PyErr_Clear();
  PyErr_Restore(fetched.type.release(), fetched.value.release(), fetched.traceback.release());
  PyErr_PrintEx(0);
  fault(std::move(message));
}

}  // namespace

PyObject* panic_exception_class() {
  static PyObject* cell = nullptr;  // filled once, under the interpreter lock
  if (cell == nullptr) {
    cell = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    if (cell == nullptr) {
      PyError cause = take_pending_error();
      PyRef value = std::move(cause).into_value();
      fault("Failed to initialize new exception type.: " + display(value.get()));
    }
  }
  return cell;
}

PyError PyError::from_value(PyRef value) {
  PyRef type = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
  PyRef traceback = PyRef::steal(PyException_GetTraceback(value.get()));
  return captured(std::move(type), std::move(value), std::move(traceback));
}

void PyError::restore() && {
  if (auto* captured = std::get_if<Captured>(&state_)) {
    PyErr_Restore(captured->type.release(), captured->value.release(), captured->traceback.release());
    return;
  }
  auto& deferred = std::get<Deferred>(state_);
  PyObject* exception_class = deferred.exception_class();
  if (!is_exception_class(exception_class)) {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return;
  }
  PyObject* message = PyUnicode_FromStringAndSize(deferred.message.data(), static_cast<Py_ssize_t>(deferred.message.size()));
  if (message == nullptr) api_call_failed();
  PyErr_SetObject(exception_class, message);
  Py_DecRef(message);
}

PyRef PyError::into_value() && {
  std::move(*this).restore();
  return fetch_normalized().value;
}

PyError take_pending_error() {
  Fetched fetched = fetch_normalized();
  if (!fetched.type) return PyError::deferred(system_error, "attempted to fetch exception but none was set");
  if (fetched.type.get() == panic_exception_class()) resume_panic_from_python(std::move(fetched));
  return PyError::captured(std::move(fetched.type), std::move(fetched.value), std::move(fetched.traceback));
}

std::string display(PyObject* object) {
  PyObject* text = PyObject_Str(object);
  if (text != nullptr) {
    PyObject* utf8 = PyUnicode_AsUTF8String(text);
    Py_DecRef(text);
    if (utf8 != nullptr) {
      // Sized: the text may contain NUL characters.
      std::string result(PyBytes_AsString(utf8), static_cast<std::size_t>(PyBytes_Size(utf8)));
      Py_DecRef(utf8);
      return result;
    }
  }
  PyErr_WriteUnraisable(object);
  PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__");
  if (name == nullptr) {
    PyErr_Clear();
    return "<unprintable object>";
  }
  std::string type_name = display(name);
  Py_DecRef(name);
  return "<unprintable " + type_name + " object>";
}

PyError os_error(int error_number, const std::string& message) {
  PyObject* value = PyObject_CallFunction(PyExc_OSError, "is#", error_number, message.data(),
                                          static_cast<Py_ssize_t>(message.size()));
  if (value == nullptr) return take_pending_error();
  return PyError::from_value(PyRef::steal(value));
}

PyError type_check_error(PyObject* object, const char* target) {
  std::string qualname = "<unknown>";
  if (PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__")) {
    qualname = display(name);
    Py_DecRef(name);
  } else {
    PyErr_Clear();
  }
  return PyError::deferred(type_error, "'" + qualname + "' object cannot be converted to '" + target + "'");
}

void raise_panic(const std::optional<std::string>& message) {
  PyError::deferred(panic_exception_class, message.value_or("panic from Rust code")).restore();
}

}  // namespace quellgate
