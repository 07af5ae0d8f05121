#include "limiters/storage_error.hpp"

#include "frame/fault.hpp"

namespace quellgate {
namespace {

PyObject* storage_error_cell = nullptr;  // filled once, under the interpreter lock; kept for the process

constexpr const char* kStorageErrorDoc =
    "The server that holds a shared limiter's counts could not be reached, answered too late, or refused the "
    "work. The message names the server and the cause.";

}  // namespace

Result<PyObject*> make_storage_error_class() {
  if (storage_error_cell == nullptr) {
    storage_error_cell =
        PyErr_NewExceptionWithDoc("quellgate.StorageError", kStorageErrorDoc, PyExc_ConnectionError, nullptr);
    if (storage_error_cell == nullptr) return take_pending();
  }
  return storage_error_cell;
}

PyObject* storage_error_class() {
  if (storage_error_cell == nullptr) fault("StorageError was asked for before the module made it");
  return storage_error_cell;
}

PyError error_of(const engine::HomeFailure& failure) {
  switch (failure.kind) {
    case engine::HomeFailure::Kind::invalid:
      return PyError::deferred(value_error, failure.message);
    case engine::HomeFailure::Kind::storage:
      return PyError::deferred(storage_error_class, failure.message);
    case engine::HomeFailure::Kind::os:
      break;
  }
  return PyError::deferred(os_error_class, failure.message);
}

}  // namespace quellgate
