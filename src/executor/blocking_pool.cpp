#include "executor/blocking_pool.hpp"

#include <deque>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>

#include "executor/clock.hpp"
#include "executor/monotonic_condition.hpp"
#include "executor/os_thread.hpp"
#include "executor/timer.hpp"

namespace quellgate::executor {
namespace detail {

// What the pool's threads share; each holds it by shared_ptr, so it outlives
// the BlockingPool object.
class BlockingPoolState {
 public:
  explicit BlockingPoolState(BlockingPool::Config config) : config_(std::move(config)) {}

  // True when the caller must start one more thread (already counted).
  bool enqueue(BlockingPool::Call call) {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(call));
    // Each idle thread can take one queued call; notify one per call while
    // enough of them wait, otherwise the queue needs a new thread.
    if (queue_.size() <= idle_) {
      work_arrived_.notify_one();
      return false;
    }
    if (threads_ >= config_.max_threads) return false;  // waits in order for a busy thread
    ++threads_;
    return true;
  }

  // A thread counted by enqueue did not start. Returns the queued calls when
  // no thread is left to run them, for the caller to drop outside the lock.
  std::deque<BlockingPool::Call> thread_failed_to_start() {
    std::lock_guard lock(mutex_);
    --threads_;
    if (threads_ > 0) return {};
    return std::exchange(queue_, {});
  }

  void run_thread() {
    ThreadCount counted(*this);
    std::unique_lock lock(mutex_);
    while (auto call = next_call(lock)) {
      lock.unlock();
      (*call)();
      call.reset();  // its captures die before the thread counts as idle
      lock.lock();
    }
    // Uncounted in the same hold of the lock that saw the queue empty, so a
    // call queued just after still finds this thread gone and starts another.
    counted.leave_locked();
    lock.unlock();
    if (config_.on_thread_end != nullptr) config_.on_thread_end();
  }

  void stop() {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    work_arrived_.notify_all();
  }

  std::size_t thread_count() const {
    std::lock_guard lock(mutex_);
    return threads_;
  }
  std::size_t queued_count() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
  }
  std::size_t idle_count() const {
    std::lock_guard lock(mutex_);
    return idle_;
  }

  const BlockingPool::Config& config() const { return config_; }

 private:
  // Uncounts a thread that the interpreter ends inside a call (the unwind of
  // pthread_exit during finalisation on Linux, _endthreadex on Windows, which
  // unwinds nothing and leaves it to the guard); a thread that leaves
  // normally does so through leave_locked.
  class ThreadCount {
   public:
    explicit ThreadCount(BlockingPoolState& state) : state_(state) {}
    ~ThreadCount() { uncount(this); }
    static void uncount(void* raw) {
      auto* count = static_cast<ThreadCount*>(raw);
      if (!std::exchange(count->counted_, false)) return;
      std::lock_guard lock(count->state_.mutex_);
      --count->state_.threads_;
    }
    void leave_locked() {
      --state_.threads_;
      counted_ = false;
    }
    ThreadCount(const ThreadCount&) = delete;
    ThreadCount& operator=(const ThreadCount&) = delete;

   private:
    BlockingPoolState& state_;
    bool counted_ = true;
    ThreadEndGuard ended_without_unwinding_{uncount, this};
  };

  // Lock held. The next call to run, or nullopt when this thread should end:
  // idle for idle_timeout, or the pool stopped with nothing queued.
  std::optional<BlockingPool::Call> next_call(std::unique_lock<std::mutex>& lock) {
    const std::chrono::nanoseconds give_up = deadline_after(monotonic_now(), config_.idle_timeout);
    while (queue_.empty()) {
      if (stopping_ || monotonic_now() >= give_up) return std::nullopt;
      ++idle_;
      work_arrived_.wait_until(lock, give_up);
      --idle_;
    }
    BlockingPool::Call call = std::move(queue_.front());
    queue_.pop_front();
    return call;
  }

  const BlockingPool::Config config_;
  // Never held across a call, a thread start or the interpreter lock.
  mutable std::mutex mutex_;
  // Everything below is guarded by mutex_.
  std::deque<BlockingPool::Call> queue_;
  std::size_t threads_ = 0;  // started and not yet ended
  std::size_t idle_ = 0;     // waiting in next_call
  bool stopping_ = false;
  MonotonicCondition work_arrived_;
};

}  // namespace detail

BlockingPool::BlockingPool(Config config) : state_(std::make_shared<detail::BlockingPoolState>(std::move(config))) {
  if (state_->config().max_threads == 0) throw std::invalid_argument("a BlockingPool needs room for one thread");
}

BlockingPool::~BlockingPool() { state_->stop(); }

void BlockingPool::submit(Call call) {
  if (!state_->enqueue(std::move(call))) return;
  const auto& config = state_->config();
  auto started = start_os_thread(config.thread_name, config.stack_bytes, [state = state_] { state->run_thread(); });
  if (started) return;
  // Dropped here, outside the pool's lock: destroying a call may wake a job.
  std::deque<Call> stranded = state_->thread_failed_to_start();
  if (!stranded.empty()) throw std::runtime_error("OS can't spawn blocking thread: " + os_error_text(started.error()));
}

std::size_t BlockingPool::thread_count() const { return state_->thread_count(); }
std::size_t BlockingPool::idle_count() const { return state_->idle_count(); }
std::size_t BlockingPool::queued_count() const { return state_->queued_count(); }

}  // namespace quellgate::executor
