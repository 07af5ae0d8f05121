#pragma once
#include "frame/error.hpp"

namespace quellgate {

// The thread ident (PyThread_get_thread_ident) of the interpreter's main
// thread, the only one it runs signal handlers on: the thread that
// initialised it, which an embedding program need not have started first,
// and in a forked child the thread that forked. Lock held. Looked up from
// threading.main_thread() once per process, so an error comes only from
// that first look-up.
Result<unsigned long> interpreter_main_thread();

}  // namespace quellgate
