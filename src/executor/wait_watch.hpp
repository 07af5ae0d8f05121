#pragma once
#include <chrono>

namespace quellgate::executor {

// What a thread's blocking wait outside the limiter's own sleeps (a reply
// from a server) asks, between slices of that wait, whether to give up. The
// interpreter's signal handlers and the interrupt flag reach such a wait only
// through it, since a signal can only cut a system call short, and the code
// that waits knows nothing of Python.
class WaitWatch {
 public:
  // The longest slice of waiting before stop() is asked again.
  virtual std::chrono::nanoseconds check_within() noexcept = 0;
  // Asked after each slice that ended without the wait being over, and at
  // once when a signal cut it short: true ends the wait.
  virtual bool stop(std::chrono::nanoseconds waited, bool signal_arrived) = 0;

 protected:
  ~WaitWatch() = default;
};

// The watch of the calling thread's current wait, or null: such a wait then
// goes on to its deadline whatever signals come.
WaitWatch* thread_wait_watch() noexcept;

// Makes `watch` the calling thread's for its lifetime.
class ScopedWaitWatch {
 public:
  explicit ScopedWaitWatch(WaitWatch* watch) noexcept;
  ~ScopedWaitWatch();
  ScopedWaitWatch(const ScopedWaitWatch&) = delete;
  ScopedWaitWatch& operator=(const ScopedWaitWatch&) = delete;

 private:
  WaitWatch* previous_;
};

}  // namespace quellgate::executor
