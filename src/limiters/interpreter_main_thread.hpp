#pragma once
#include "frame/error.hpp"

namespace quellgate {

// The thread ident (PyThread_get_thread_ident) of the interpreter's main
// thread, the only one it runs signal handlers on: the thread that
// initialised it, which an embedding program need not have started first,
// and in a forked child the thread that forked. Lock held.
//
// Read from threading.main_thread() once the threading module is loaded,
// and kept; 0 while it is not: importing it here would make, before 3.13,
// the importing thread threading's main thread. An error comes only from
// that one look-up.
Result<unsigned long> interpreter_main_thread();

}  // namespace quellgate
