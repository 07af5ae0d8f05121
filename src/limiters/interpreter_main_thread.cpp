#include "limiters/interpreter_main_thread.hpp"

#include "executor/environment.hpp"
#include "frame/handle.hpp"

namespace quellgate {
namespace {

// 0 until looked up. Guarded by the interpreter lock; the fork handler runs
// in the child on the thread that forked, which held the lock for fork().
unsigned long main_thread_ident = 0;

// The child's main thread is the one that forked, the thread that runs the
// handler: known without asking the interpreter.
const bool reset_in_fork_child = [] {
  executor::register_fork_child_handler([] { main_thread_ident = PyThread_get_thread_ident(); });
  return true;
}();

Result<unsigned long> look_up_main_thread(PyObject* threading) {
  auto main_thread = owned_or_pending(PyObject_CallMethod(threading, "main_thread", nullptr));
  if (!main_thread) return std::unexpected(std::move(main_thread.error()));
  auto ident = owned_or_pending(PyObject_GetAttrString(main_thread->get(), "ident"));
  if (!ident) return std::unexpected(std::move(ident.error()));
  const unsigned long value = PyLong_AsUnsignedLong(ident->get());
  if (PyErr_Occurred() != nullptr) return take_pending();
  return value;
}

}  // namespace

Result<unsigned long> interpreter_main_thread() {
  if (main_thread_ident != 0) return main_thread_ident;
  // Borrowed: the module table keeps it.
  PyObject* threading = PyDict_GetItemString(PyImport_GetModuleDict(), "threading");
  if (threading == nullptr) return 0UL;
  auto found = look_up_main_thread(threading);
  if (found) main_thread_ident = *found;
  return found;
}

}  // namespace quellgate
