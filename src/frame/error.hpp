#pragma once
#include <expected>
#include <optional>
#include <string>
#include <variant>

#include "frame/handle.hpp"

namespace quellgate {

// An error value: what fallible operations return instead of raising. Only
// the boundary turns it into the pending Python exception.
class PyError {
 public:
  // An exception class and message, allocated in the interpreter only when
  // raised, so it can be made on a thread that does not hold the lock. The
  // class is named by a function so that it is looked up when raised.
  using ClassGetter = PyObject* (*)();
  static PyError deferred(ClassGetter exception_class, std::string message) {
    return PyError(Deferred{exception_class, std::move(message)});
  }
  // An exception the interpreter already raised: (type, normalised value, traceback).
  static PyError captured(PyRef type, PyRef value, PyRef traceback) {
    return PyError(Captured{std::move(type), std::move(value), std::move(traceback)});
  }

  // An exception instance already normalised (lock held).
  static PyError from_value(PyRef value);

  // Makes this error the thread's pending exception (lock held).
  void restore() &&;
  // The exception instance, normalised (lock held); consumes the error.
  PyRef into_value() &&;

 private:
  struct Deferred {
    ClassGetter exception_class;
    std::string message;
  };
  struct Captured {
    PyRef type, value, traceback;
  };
  explicit PyError(Deferred d) : state_(std::move(d)) {}
  explicit PyError(Captured c) : state_(std::move(c)) {}
  std::variant<Deferred, Captured> state_;
};

template <class T>
using Result = std::expected<T, PyError>;

inline std::unexpected<PyError> error(PyError::ClassGetter exception_class, std::string message) {
  return std::unexpected(PyError::deferred(exception_class, std::move(message)));
}

// Exception classes, named for deferred errors.
inline PyObject* value_error() { return PyExc_ValueError; }
inline PyObject* type_error() { return PyExc_TypeError; }
inline PyObject* system_error() { return PyExc_SystemError; }
inline PyObject* runtime_error() { return PyExc_RuntimeError; }
inline PyObject* keyboard_interrupt() { return PyExc_KeyboardInterrupt; }
inline PyObject* base_exception() { return PyExc_BaseException; }
inline PyObject* not_implemented_error() { return PyExc_NotImplementedError; }
inline PyObject* os_error_class() { return PyExc_OSError; }

// OSError(error_number, message), which the interpreter turns into the
// subclass of that errno (PermissionError, FileNotFoundError, ...). Made at
// once, so only with the interpreter lock held.
PyError os_error(int error_number, const std::string& message);

// Takes the exception an interpreter call left pending (after it returned
// NULL or -1). A PanicException coming back from Python resumes as a fault.
PyError take_pending_error();

// The pending exception as an error value, for `return take_pending();` in
// functions returning Result<T>.
inline std::unexpected<PyError> take_pending() { return std::unexpected(take_pending_error()); }

// Owns `object` when the interpreter call succeeded, else the pending error.
inline Result<PyRef> owned_or_pending(PyObject* object) {
  if (object == nullptr) return take_pending();
  return PyRef::steal(object);
}

// "'{qualname of type(object)}' object cannot be converted to '{target}'"
PyError type_check_error(PyObject* object, const char* target);

// str(object), or a placeholder when even that fails (the failure is
// reported as unraisable).
std::string display(PyObject* object);

// Raises a deferred PanicException with the fault's message.
void raise_panic(const std::optional<std::string>& message);

// The class of internal faults that reach the interpreter.
PyObject* panic_exception_class();

}  // namespace quellgate
