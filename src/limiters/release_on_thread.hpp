#pragma once
// A thread's release: done when it returns.
#include "engine/burst.hpp"
#include "engine/limiter_core.hpp"
#include "frame/error.hpp"

namespace quellgate {

// release_on_this_thread for a limiter with a home.
Result<void> release_at_home_on_this_thread(const engine::LimiterCore& core);

// Gives one burst permit back from a thread holding the interpreter lock.
// A limiter whose home asks a server waits for its answer with the lock
// released (at most the storage timeout), so that every process sees the
// permit back once this returns; one whose home's lock is held waits for it
// as any call does (see home_lock.hpp), and raises its OSError past the
// bound, the release then made by the home once the lock is let go; any
// other releases as engine::release_burst. Inline, so that an in-process
// release pays one branch for it.
inline Result<void> release_on_this_thread(const engine::LimiterCore& core) {
  if (core.home() != nullptr) [[unlikely]] return release_at_home_on_this_thread(core);
  engine::release_burst(core);
  return {};
}

}  // namespace quellgate
