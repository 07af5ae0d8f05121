#pragma once
// Releases of Redis limiters still on their way when the interpreter exits.
#include "frame/error.hpp"

namespace quellgate {

// Registers with atexit, once per process and only once a limiter is opened
// at a server, a function that waits (the lock released) until the releases
// that tasks and dropped admissions pipelined have been answered, each for
// at most its limiter's storage timeout. Without it a clean exit ends the
// I/O threads before they send them, and those permits stay held at the
// server until their leases run out. Lock held.
Result<void> send_releases_at_exit();

}  // namespace quellgate
