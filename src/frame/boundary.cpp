#include "frame/boundary.hpp"

#include <cstdio>
#include <cstdlib>

#include "frame/fault.hpp"

namespace quellgate::detail {
namespace {

// Control returns to the interpreter with an instance pending, never a bare
// class and message.
void normalize_pending() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyErr_Restore(type, value, traceback);
}

}  // namespace

PyObject* finish(Result<PyRef>&& result) {
  if (result) return result->release();
  std::move(result.error()).restore();
  normalize_pending();
  return nullptr;
}

PyObject* raise_current_fault() {
  try {
    raise_panic(fault_message_of_current_exception());
    normalize_pending();
    return nullptr;
  } catch (...) {
    if (executor::ending_the_thread()) throw;
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
}

void report_unraisable_pending() { PyErr_WriteUnraisable(nullptr); }

}  // namespace quellgate::detail
