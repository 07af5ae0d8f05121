#pragma once
#include "frame/error.hpp"

namespace quellgate {

// Whether the calling thread is the interpreter's main thread, the only one
// it runs signal handlers on: the thread that initialised it, which an
// embedding program need not have started first, and in a forked child the
// thread that forked. Lock held.
//
// The main thread is read from threading.main_thread() once the threading
// module is loaded; while it is not (importing it here would make, before
// 3.13, the importing thread threading's main thread) the process's first
// thread stands in for it, which it is unless Python is embedded. A
// thread's answer is kept once threading gave it. An error comes only from
// asking threading.
Result<bool> on_interpreter_main_thread();

}  // namespace quellgate
