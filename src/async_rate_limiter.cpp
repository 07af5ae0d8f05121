// AsyncRateLimiter: the limiter for asyncio code. Every method returns an
// asyncio Future at once; the work runs as a job on the background executor.
#include <array>

#include "class_factory.hpp"
#include "classes.hpp"
#include "limiter_object.hpp"

namespace quellgate {
namespace {

constexpr const char* kClassName = "AsyncRateLimiter";
PyTypeObject* async_rate_limiter_cell = nullptr;

PyObject* not_yet(PyObject* self, PyObject*, PyObject*) {
  return limiter_method(self, async_rate_limiter_cell, kClassName, [](const engine::LimiterCore&) -> Result<PyRef> {
    return error(not_implemented_error, "AsyncRateLimiter is not available yet");
  });
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return construct_limiter(type, args, kwargs, kClassName);
}

PyMethodDef methods[] = {
    {"__aenter__", as_method(not_yet), METH_NOARGS, "__aenter__($self)\n--\n\n"},
    {"__aexit__", as_method(not_yet), METH_VARARGS | METH_KEYWORDS, "__aexit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"},
    {"acquire", as_method(not_yet), METH_NOARGS, "acquire($self)\n--\n\n"},
    {"release", as_method(not_yet), METH_NOARGS, "release($self)\n--\n\n"},
    {"get_remaining", as_method(not_yet), METH_NOARGS, "get_remaining($self)\n--\n\n"},
    {"wait_time", as_method(not_yet), METH_NOARGS, "wait_time($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

const ClassDefinition definition = {
    kClassName, kConstructorSignature, construct, not_yet, release_limiter, methods, sizeof(LimiterObject),
};

}  // namespace

Result<PyTypeObject*> async_rate_limiter_class() { return class_in_cell(async_rate_limiter_cell, definition); }

}  // namespace quellgate
