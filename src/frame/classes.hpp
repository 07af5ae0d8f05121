#pragma once
#include "frame/error.hpp"

namespace quellgate {

// The module's classes, each created on first use and kept for the process.
Result<PyTypeObject*> rate_limiter_class();
Result<PyTypeObject*> async_rate_limiter_class();
// pyo3_async_runtimes.RustPanic: what a background job's fault becomes.
Result<PyObject*> rust_panic_class();

}  // namespace quellgate
