#pragma once
// Limiters whose counts every process of this host shares by name.
#include "frame/python.hpp"

namespace quellgate {

// `shared(name, /, *, <the constructor's keywords>, mode=None, storage=None,
// storage_timeout=1.0, on_storage_error="raise", lease=30.0, max_keys=None)`: a class
// method of both classes, returning an ordinary instance of `type` whose
// counts live under `name` in this host's shared memory, or with a storage
// URL at that Redis server.
PyObject* construct_shared_limiter(PyTypeObject* type, PyObject* args, PyObject* kwargs, const char* class_name);

inline constexpr const char* kSharedDoc =
    "shared($cls, name, /, *, sec=None, min=None, hour=None, day=None, sec_window=None, min_window=None, "
    "hour_window=None, day_window=None, blocking=True, max_burst=None, mode=None, storage=None, "
    "storage_timeout=1.0, on_storage_error='raise', lease=30.0, max_keys=None)\n--\n\n";

// quellgate.remove_shared(name, /, *, storage=None, storage_timeout=1.0):
// deletes a name, in shared memory or at the server.
PyObject* remove_shared(PyObject* module, PyObject* args, PyObject* kwargs);

inline constexpr const char* kRemoveSharedDoc = "remove_shared(name, /, *, storage=None, storage_timeout=1.0)\n--\n\n";

}  // namespace quellgate
