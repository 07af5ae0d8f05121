#include "homes/release_watcher.hpp"

#include <algorithm>
#include <utility>

#include "executor/clock.hpp"
#include "executor/os_thread.hpp"

namespace quellgate::homes {
namespace {

using namespace std::chrono_literals;

// A wake that went astray costs the waiters at most the poller's backoff
// step; this only bounds how long the thread sleeps before it looks at the
// list again.
constexpr std::chrono::nanoseconds longest_sleep = 1s;
constexpr std::size_t stack_bytes = 64 * 1024;

}  // namespace

void ReleaseWatcher::watch(const engine::LimiterCore& core, std::uint32_t seen, WaitForRelease wait, PassOn pass_on) {
  if (running_.exchange(true, std::memory_order_seq_cst)) return;
  auto started = executor::start_os_thread(
      "quellgate-watch", stack_bytes,
      [this, core, seen, wait = std::move(wait), pass_on = std::move(pass_on)] { run(core, seen, wait, pass_on); });
  if (!started) running_.store(false, std::memory_order_seq_cst);
}

// Wakes one waiter per wake this thread receives. A wait that found the
// count moved before it began wakes one per release counted, as their wakes
// may have found no thread asleep; a timeout wakes nobody, as the releases
// meanwhile woke threads of other processes. A waiter that loses its permit
// to another process sleeps again with the new count, and a woken waiter
// that will not try passes the wake on (WaitEnrolment), to another process
// when none is left here. A wake with nobody here to take it goes on too.
void ReleaseWatcher::run(const engine::LimiterCore& core, std::uint32_t seen, const WaitForRelease& wait,
                         const PassOn& pass_on) {
  engine::WaiterList& waiters = core.waiters();
  std::uint32_t prior = seen;
  for (;;) {
    while (waiters.has_burst_waiters()) {
      const Wait end = wait(prior, executor::monotonic_now() + longest_sleep);
      const std::uint32_t releases = end.seen - prior;
      prior = end.seen;
      if (!end.for_release) continue;
      for (std::uint32_t wakes = std::max<std::uint32_t>(releases, 1); wakes > 0; --wakes) {
        if (!waiters.wake_one_burst_waiter()) {
          pass_on();
          break;
        }
      }
    }
    running_.store(false, std::memory_order_seq_cst);
    if (!waiters.has_burst_waiters()) return;
    if (running_.exchange(true, std::memory_order_seq_cst)) return;
  }
}

}  // namespace quellgate::homes
