#include "homes/release_watcher.hpp"

#include <utility>

#include "executor/clock.hpp"
#include "executor/os_thread.hpp"

namespace quellgate::homes {
namespace {

using namespace std::chrono_literals;

// A wake that went astray costs the jobs at most their backoff step; this
// only bounds how long the thread sleeps before it looks at the list again.
constexpr std::chrono::nanoseconds longest_sleep = 1s;
constexpr std::size_t stack_bytes = 64 * 1024;

}  // namespace

void ReleaseWatcher::watch(const engine::LimiterCore& core, std::uint32_t seen, WaitForRelease wait) {
  if (running_.exchange(true, std::memory_order_seq_cst)) return;
  auto started = executor::start_os_thread("quellgate-watch", stack_bytes,
                                           [this, core, seen, wait = std::move(wait)] { run(core, seen, wait); });
  if (!started) running_.store(false, std::memory_order_seq_cst);
}

// Wakes one job per release counted: a job that loses its permit to another
// process sleeps again with the new count, and a woken job cancelled before
// its attempt passes the wake on (limiter_waits.cpp).
void ReleaseWatcher::run(const engine::LimiterCore& core, std::uint32_t seen, const WaitForRelease& wait) {
  engine::WaiterList& waiters = core.waiters();
  std::uint32_t prior = seen;
  for (;;) {
    while (waiters.has_burst_waiters()) {
      const std::uint32_t now_seen = wait(prior, executor::monotonic_now() + longest_sleep);
      for (std::uint32_t releases = now_seen - prior; releases > 0 && waiters.has_burst_waiters(); --releases) {
        waiters.wake_one_burst_waiter();
      }
      prior = now_seen;
    }
    running_.store(false, std::memory_order_seq_cst);
    if (!waiters.has_burst_waiters()) return;
    if (running_.exchange(true, std::memory_order_seq_cst)) return;
  }
}

}  // namespace quellgate::homes
