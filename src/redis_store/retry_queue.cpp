#include "redis_store/retry_queue.hpp"

#include <algorithm>
#include <mutex>
#include <vector>

#include "executor/clock.hpp"
#include "executor/monotonic_condition.hpp"
#include "executor/os_thread.hpp"

namespace quellgate::redis_store {

namespace {
constexpr std::size_t kRetryStack = 128 * 1024;

struct Work {
  Deadline due;
  std::function<void()> run;
};
}  // namespace

struct RetryQueue::State {
  std::mutex mutex;  // guards the three below; never held across I/O or the work
  executor::MonotonicCondition wake;
  std::vector<Work> waiting;
  bool started = false;
  bool stopping = false;

  void run_loop() {
    std::unique_lock lock(mutex);
    while (!stopping) {
      if (waiting.empty()) {
        wake.wait(lock);
        continue;
      }
      const auto earliest = std::ranges::min_element(waiting, {}, &Work::due);
      const auto now = std::chrono::steady_clock::now();
      if (earliest->due > now) {
        wake.wait_until(lock, executor::monotonic_now() + (earliest->due - now));
        continue;
      }
      auto work = std::move(earliest->run);
      waiting.erase(earliest);
      lock.unlock();
      work();
      work = nullptr;  // what it holds goes before the lock is taken again
      lock.lock();
    }
  }
};

RetryQueue::RetryQueue() : state_(std::make_shared<State>()) {}

RetryQueue::~RetryQueue() {
  std::vector<Work> dropped;  // destroyed once the lock is given up
  const std::lock_guard lock(state_->mutex);
  state_->stopping = true;
  dropped.swap(state_->waiting);
  state_->wake.notify_all();
}

bool RetryQueue::add(Deadline due, std::function<void()> work) {
  std::function<void()> unrun;  // destroyed once the lock is given up: it may own this queue's owner
  const std::lock_guard lock(state_->mutex);
  if (!state_->started) {
    // Started under the lock, which the thread's first step waits for.
    auto thread = executor::start_os_thread("quellgate-retry", kRetryStack, [state = state_] { state->run_loop(); });
    if (!thread) {
      unrun = std::move(work);
      return false;
    }
    state_->started = true;
  }
  state_->waiting.push_back(Work{due, std::move(work)});
  state_->wake.notify_all();
  return true;
}

}  // namespace quellgate::redis_store
