#pragma once
// quellgate.StorageError, and what a home's failure raises.
#include "engine/count_home.hpp"
#include "frame/error.hpp"

namespace quellgate {

// The class, made once when the module is built (lock held).
Result<PyObject*> make_storage_error_class();
// The class, for deferred errors; only after make_storage_error_class.
PyObject* storage_error_class();

// OSError, ValueError or StorageError with the failure's message.
PyError error_of(const engine::HomeFailure& failure);

}  // namespace quellgate
