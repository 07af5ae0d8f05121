#pragma once
#include "frame/error.hpp"

namespace quellgate::bridge {

// Process-wide lookups, each made once under the interpreter lock and kept
// for the life of the process; a failed lookup is tried again next time.
Result<PyObject*> asyncio_module();
Result<PyObject*> get_running_loop_function();
Result<PyObject*> ensure_future_function();
Result<PyObject*> contextvars_module();

// Whether the running interpreter is CPython 3.`minor` or later (one
// binary serves several); read once from Py_GetVersion().
bool interpreter_at_least_3(int minor);

// Prints an error met in a background step (PyErr_PrintEx(1)); such errors
// are reported, never raised.
void print_error(PyError failure);

// The attribute name `literal` as an interned str, made once per literal
// (keyed by its address) and kept, so hot lookups build no strings.
PyObject* interned_name(const char* literal);

// {"context": None}: made once; calls copy their keyword dict, so sharing it
// is safe.
Result<PyObject*> no_context_kwargs();

// Looks up `name` on `object` and calls it with `args` (a tuple, or NULL for
// none) and `kwargs` (a dict or NULL).
Result<PyRef> call_method(PyObject* object, const char* literal, PyObject* args = nullptr, PyObject* kwargs = nullptr);

// object.<literal>(argument), the one-argument call of the hot paths.
Result<PyRef> call_method_one(PyObject* object, const char* literal, PyObject* argument);

// Whether `value` has __await__: what a decorated call awaits. A lookup
// that fails otherwise than with AttributeError is dropped too, and the value
// taken as it is.
bool is_awaitable(PyObject* value);

// () — what methods without a value resolve to.
Result<PyRef> empty_tuple();

}  // namespace quellgate::bridge
