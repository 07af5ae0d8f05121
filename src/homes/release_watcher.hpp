#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

#include "engine/limiter_core.hpp"

namespace quellgate::homes {

// Wakes a limiter's threads and jobs sleeping for a burst permit when a
// release in any process moves its home's release count. They sleep on the
// limiter's waiter list, which no other process can reach, so one thread of
// this process sleeps in the home's wait for all of them: started by the
// first waiter that sleeps for a permit, gone once none does. A release
// wakes one such thread among all processes, which wakes one waiter here.
class ReleaseWatcher {
 public:
  struct Wait {
    std::uint32_t seen;  // the release count after the wait
    // The wait ended for a release (or a wake passed on), or the count had
    // moved before it began; not a timeout nor a signal.
    bool for_release;
  };
  // wait(seen, monotonic_deadline) sleeps until the count differs from
  // `seen` (or the deadline, or a spurious wake).
  using WaitForRelease = std::function<Wait(std::uint32_t, std::chrono::nanoseconds)>;
  // Hands a wake this process has nobody to give to on to another process.
  using PassOn = std::function<void()>;

  ReleaseWatcher() = default;
  ReleaseWatcher(const ReleaseWatcher&) = delete;
  ReleaseWatcher& operator=(const ReleaseWatcher&) = delete;

  // Called by a waiter that has enlisted on `core`'s waiter list and read
  // `seen` before its refused attempt. The thread holds a copy of the core,
  // and so the home, until it ends. When no thread can be started the
  // limiter's poller still finds the permit at the end of its backoff step.
  void watch(const engine::LimiterCore& core, std::uint32_t seen, WaitForRelease wait, PassOn pass_on);

  // In a forked child, where the thread does not exist.
  void forget_in_child() noexcept { running_.store(false, std::memory_order_relaxed); }

 private:
  void run(const engine::LimiterCore& core, std::uint32_t seen, const WaitForRelease& wait, const PassOn& pass_on);

  // Whether the thread runs. Sequentially consistent, paired with the waiter
  // count: a waiter enlists, then sets this; the thread clears this, then
  // reads the count. In their single order either the thread sees the
  // waiter, or the waiter finds the flag clear and starts a new thread.
  std::atomic<bool> running_{false};
};

}  // namespace quellgate::homes
