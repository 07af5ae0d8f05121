#pragma once
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace quellgate::executor {

namespace detail {
class BlockingPoolState;
}

// Threads for calls that may block for as long as they like (user code), kept
// apart from the executor's workers: those drive every job's timers and
// admissions, and one call that sleeps or waits on another job there holds
// them all up, or deadlocks once every worker does it.
//
// Threads start only when a call finds none idle, up to max_threads; idle
// threads take the next call, and end once idle for idle_timeout. Calls
// beyond the cap wait and start in the order they were submitted.
class BlockingPool {
 public:
  // Must not throw: a call reports its own failures to its submitter. The
  // unwind that ends a thread during interpreter finalisation passes through.
  using Call = std::move_only_function<void()>;

  struct Config {
    std::size_t max_threads = 64;
    std::chrono::nanoseconds idle_timeout = std::chrono::seconds(5);
    std::string thread_name = "osken-runtime-worker";
    std::size_t stack_bytes = 2 * 1024 * 1024;
    // Called on each thread that ends by itself (idle or the pool stopped),
    // after it left the pool; not on a thread that a call's unwind ends.
    void (*on_thread_end)() = nullptr;
  };

  explicit BlockingPool(Config config);
  // Idle threads end at once, busy ones after the calls already queued.
  // Threads are never joined: they hold the pool's state, not this object.
  ~BlockingPool();
  BlockingPool(const BlockingPool&) = delete;
  BlockingPool& operator=(const BlockingPool&) = delete;

  // Never runs `call` on the calling thread and never waits for a thread to
  // free up. Throws std::runtime_error "OS can't spawn blocking thread:
  // <reason>" when a thread was needed, none could start and none is left to
  // run the queue; every queued call is dropped unrun then (destroyed, so
  // whoever awaits its outcome hears of it).
  void submit(Call call);

  // Threads alive (idle or busy), idle threads and calls not yet started, at
  // this moment.
  std::size_t thread_count() const;
  std::size_t idle_count() const;
  std::size_t queued_count() const;

 private:
  std::shared_ptr<detail::BlockingPoolState> state_;
};

}  // namespace quellgate::executor
