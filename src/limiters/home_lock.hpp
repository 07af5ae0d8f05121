#pragma once
// Calls on a limiter whose home only tries its lock (see CountHome): when
// the lock was held, the call did nothing, and is made again once the lock
// is let go. A thread waits for it with the interpreter lock released; a job
// looks again on the executor's timer; an event loop's thread never waits,
// and hands the call to a job instead.
//
// A wait is bounded: past kLockPatience of the lock never being let go, the
// call raises OSError naming the limiter and the process that holds the
// lock, and whether it is stopped. A live holder keeps the lock for a few
// microseconds of arithmetic, so only a stopped or stuck holder (SIGSTOP,
// a debugger, a frozen container) comes near it.
#include <chrono>
#include <utility>

#include "engine/count_home.hpp"
#include "engine/limiter_core.hpp"
#include "executor/task.hpp"
#include "frame/error.hpp"

namespace quellgate {

inline constexpr std::chrono::seconds kLockPatience{3};

// Whether the last home call on this thread found the lock held; taken
// once. An admission ended by the interrupt flag was not ended by the lock.
inline bool lock_was_busy(const engine::LimiterCore& core) noexcept {
  return core.home() != nullptr && !core.interrupted() && core.home()->take_lock_busy();
}

// A thread's wait for the lock, holding the interpreter lock on entry and
// exit and giving it up meanwhile. On the interpreter's main thread the
// signal handlers run every 50 ms of it: Ctrl+C ends it with the limiter's
// KeyboardInterrupt, as any of its waits. Success: the lock was let go (or
// cannot be taken at all, which the next try reports).
Result<void> wait_for_home_lock(const engine::LimiterCore& core);

// The same inside a job, holding no thread.
executor::Task<Result<void>> wait_for_home_lock_in_job(engine::LimiterCore core);

// `first(core)`, then, as long as it found the lock held, a wait and
// `again(core)`: the same call, or for a release, making the releases owed.
// On a thread, interpreter lock held.
template <class First, class Again>
auto at_home_on_thread(const engine::LimiterCore& core, First first, Again again) -> decltype(first(core)) {
  {
    auto result = first(core);
    if (!lock_was_busy(core)) [[likely]] return result;
  }
  for (;;) {
    if (auto waited = wait_for_home_lock(core); !waited) return std::unexpected(std::move(waited.error()));
    auto result = again(core);
    if (!lock_was_busy(core)) return result;
  }
}

}  // namespace quellgate
