#pragma once
// Limiters whose counts every process of this host shares by name.
#include "frame/python.hpp"

namespace quellgate {

// `shared(name, /, *, <the constructor's keywords>, mode=0o600)`: a class
// method of both classes, returning an ordinary instance of `type` whose
// counts live in this host's shared memory under `name`.
PyObject* construct_shared_limiter(PyTypeObject* type, PyObject* args, PyObject* kwargs, const char* class_name);

inline constexpr const char* kSharedDoc =
    "shared($cls, name, /, *, sec=None, min=None, hour=None, day=None, sec_window=None, min_window=None, "
    "hour_window=None, day_window=None, blocking=True, max_burst=None, mode=0o600)\n--\n\n";

// quellgate.remove_shared(name, /): deletes a name.
PyObject* remove_shared(PyObject* module, PyObject* name);

inline constexpr const char* kRemoveSharedDoc = "remove_shared(name, /)\n--\n\n";

}  // namespace quellgate
