#include "limiters/interpreter_main_thread.hpp"

#include <optional>

#include "executor/environment.hpp"
#include "frame/handle.hpp"

namespace quellgate {
namespace {

// Thread idents are compared as threading gives them, not through
// PyThread_get_thread_ident: python3.dll of CPython 3.8 and 3.9 does not
// export it, so a Windows module using it would not import there.

// 0 until looked up. Guarded by the interpreter lock; the fork handler runs
// in the child on the thread that forked, which held the lock for fork().
unsigned long main_thread_ident = 0;

// This thread's answer, once threading could give it. Only its own thread
// reads and writes it.
thread_local std::optional<bool> known_here;

// The child's main thread is the one that forked, the thread that runs the
// handler and the only one the child has: known without asking the
// interpreter, which cannot be asked until it has seen the fork through.
const bool reset_in_fork_child = [] {
  executor::register_fork_child_handler([] {
    main_thread_ident = 0;
    known_here = true;
  });
  return true;
}();

Result<unsigned long> ident_from(PyObject* threading, const char* method) {
  auto answer = owned_or_pending(PyObject_CallMethod(threading, method, nullptr));
  if (!answer) return std::unexpected(std::move(answer.error()));
  const unsigned long value = PyLong_AsUnsignedLong(answer->get());
  if (PyErr_Occurred() != nullptr) return take_pending();
  return value;
}

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

Result<bool> on_interpreter_main_thread() {
  if (known_here) return *known_here;
  // Borrowed: the module table keeps it.
  PyObject* threading = PyDict_GetItemString(PyImport_GetModuleDict(), "threading");
  if (threading == nullptr) return executor::on_first_thread();
  if (main_thread_ident == 0) {
    auto found = look_up_main_thread(threading);
    if (!found) return std::unexpected(std::move(found.error()));
    main_thread_ident = *found;
  }
  auto here = ident_from(threading, "get_ident");
  if (!here) return std::unexpected(std::move(here.error()));
  known_here = *here == main_thread_ident;
  return *known_here;
}

}  // namespace quellgate
