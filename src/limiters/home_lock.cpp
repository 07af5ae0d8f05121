#include "limiters/home_lock.hpp"

#include <algorithm>

#include "executor/clock.hpp"
#include "executor/sleep.hpp"
#include "frame/gil.hpp"
#include "limiters/blocking_admission.hpp"
#include "limiters/interpreter_main_thread.hpp"
#include "limiters/storage_error.hpp"

namespace quellgate {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;
using LockWait = engine::CountHome::LockWait;

// How often the main thread runs the signal handlers while it waits: glibc
// resumes a lock wait that a signal cut short, so the wait is cut up instead.
constexpr nanoseconds kSignalCheckEvery = 50ms;
// A job's looks: soon at first, then at most this far apart.
constexpr std::chrono::milliseconds kLongestJobStep{20};

PyError stuck(const engine::LimiterCore& core) { return error_of(core.home()->stuck_lock()); }

}  // namespace

Result<void> wait_for_home_lock(const engine::LimiterCore& core) {
  Result<bool> main_thread = on_interpreter_main_thread();
  if (!main_thread) return std::unexpected(std::move(main_thread.error()));
  const bool runs_handlers = *main_thread;
  const nanoseconds give_up_at = executor::monotonic_now() + kLockPatience;
  for (;;) {
    const nanoseconds now = executor::monotonic_now();
    if (now >= give_up_at) return std::unexpected(stuck(core));
    const nanoseconds until = runs_handlers ? std::min(give_up_at, now + kSignalCheckEvery) : give_up_at;
    const LockWait end = gil::without_gil([&] { return core.home()->wait_for_lock(until); });
    if (end != LockWait::timed_out) return {};
    if (runs_handlers && PyErr_CheckSignals() != 0) return std::unexpected(signal_handler_error(core));
  }
}

executor::Task<Result<void>> wait_for_home_lock_in_job(engine::LimiterCore core) {
  const nanoseconds give_up_at = executor::monotonic_now() + kLockPatience;
  for (std::chrono::milliseconds step{1};; step = std::min(step * 2, kLongestJobStep)) {
    {
      executor::Sleep pause(step);
      co_await pause;
    }
    // A deadline already passed: one try, no wait.
    if (core.home()->wait_for_lock(nanoseconds::zero()) != LockWait::timed_out) co_return Result<void>{};
    if (executor::monotonic_now() >= give_up_at) co_return std::unexpected(stuck(core));
  }
}

}  // namespace quellgate
