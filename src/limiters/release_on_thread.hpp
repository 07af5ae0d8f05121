#pragma once
// A thread's release: done when it returns.
#include "engine/limiter_core.hpp"

namespace quellgate {

// Gives one burst permit back from a thread holding the interpreter lock.
// A limiter whose home asks a server waits for its answer with the lock
// released (at most the storage timeout), so that every process sees the
// permit back once this returns; any other releases as engine::release_burst.
void release_on_this_thread(const engine::LimiterCore& core);

}  // namespace quellgate
