#pragma once
#include <atomic>
#include <chrono>
#include <coroutine>

#include "executor/scheduler.hpp"

namespace quellgate::executor {

// A pause of a job on its executor's timer, holding no thread. The deadline
// is fixed at construction; the timer learns of it on the first await, in
// whole-millisecond ticks rounded up, so it never ends early unless
// wake_early() ends it. Destroying a pending sleep withdraws it: its job is
// not woken for it afterwards.
class [[nodiscard]] Sleep : private detail::AwaitedEvent {
 public:
  explicit Sleep(std::chrono::nanoseconds duration);
  Sleep(const Sleep&) = delete;
  Sleep& operator=(const Sleep&) = delete;
  ~Sleep();

  std::chrono::nanoseconds deadline() const noexcept { return deadline_; }

  // Ends the sleep now, from any thread: before it is awaited (the await
  // then does not suspend) or while it is pending. The caller makes sure the
  // sleep is not destroyed meanwhile. Wakes the job the sleep was made in.
  void wake_early() noexcept;
  bool woken_early() const noexcept { return woken_early_.load(std::memory_order_acquire); }

  bool await_ready() const noexcept { return completed_ || woken_early_.load(std::memory_order_acquire); }
  // std::logic_error when awaited outside a job of an executor.
  bool await_suspend(std::coroutine_handle<> awaiting);
  void await_resume() noexcept { completed_ = true; }

 private:
  bool has_happened() const noexcept override;

  std::chrono::nanoseconds deadline_;
  // The job running when the sleep was made: the one wake_early() wakes.
  detail::JobBase* const job_;
  // Release when set, acquire when read: the woken job sees what the waker
  // did before waking it.
  std::atomic<bool> woken_early_{false};
  detail::JobTimerEntry entry_;
  detail::Scheduler* filed_with_ = nullptr;
  bool completed_ = false;
};

// Only inside a job: `co_await sleep(duration);`. Made inside a job as well
// when it may be woken early.
inline Sleep sleep(std::chrono::nanoseconds duration) { return Sleep(duration); }

}  // namespace quellgate::executor
