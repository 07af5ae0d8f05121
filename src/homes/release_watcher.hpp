#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

#include "engine/limiter_core.hpp"

namespace quellgate::homes {

// Wakes a limiter's jobs sleeping for a burst permit when a release in any
// process moves its home's release count. Jobs sleep on the executor's
// timer, which no other process can reach, so one thread of this process
// sleeps in the home's wait for all of them: started by the first job that
// sleeps for a permit, gone once none does.
class ReleaseWatcher {
 public:
  // wait(seen, monotonic_deadline) sleeps until the count differs from
  // `seen` (or the deadline, or a spurious wake) and returns the count.
  using WaitForRelease = std::function<std::uint32_t(std::uint32_t, std::chrono::nanoseconds)>;

  ReleaseWatcher() = default;
  ReleaseWatcher(const ReleaseWatcher&) = delete;
  ReleaseWatcher& operator=(const ReleaseWatcher&) = delete;

  // Called by a job that has enlisted on `core`'s waiter list and read
  // `seen` before its refused attempt. The thread holds a copy of the core,
  // and so the home, until it ends. When no thread can be started the jobs
  // still wake at the end of their backoff step.
  void watch(const engine::LimiterCore& core, std::uint32_t seen, WaitForRelease wait);

  // In a forked child, where the thread does not exist.
  void forget_in_child() noexcept { running_.store(false, std::memory_order_relaxed); }

 private:
  void run(const engine::LimiterCore& core, std::uint32_t seen, const WaitForRelease& wait);

  // Whether the thread runs. Sequentially consistent, paired with the waiter
  // count: a job enlists, then sets this; the thread clears this, then reads
  // the count. In their single order either the thread sees the job, or the
  // job finds the flag clear and starts a new thread.
  std::atomic<bool> running_{false};
};

}  // namespace quellgate::homes
