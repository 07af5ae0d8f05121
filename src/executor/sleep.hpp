#pragma once
#include <chrono>
#include <coroutine>

#include "executor/scheduler.hpp"

namespace quellgate::executor {

// A pause of a job on its executor's timer, holding no thread. The deadline
// is fixed at construction; the timer learns of it on the first await, in
// whole-millisecond ticks rounded up, so it never ends early. Destroying a
// pending sleep withdraws it: its job is not woken for it afterwards.
class [[nodiscard]] Sleep : private detail::AwaitedEvent {
 public:
  explicit Sleep(std::chrono::nanoseconds duration);
  Sleep(const Sleep&) = delete;
  Sleep& operator=(const Sleep&) = delete;
  ~Sleep();

  std::chrono::nanoseconds deadline() const noexcept { return deadline_; }

  bool await_ready() const noexcept { return completed_; }
  // std::logic_error when awaited outside a job of an executor.
  bool await_suspend(std::coroutine_handle<> awaiting);
  void await_resume() noexcept { completed_ = true; }

 private:
  bool has_happened() const noexcept override;

  std::chrono::nanoseconds deadline_;
  detail::JobTimerEntry entry_;
  detail::Scheduler* filed_with_ = nullptr;
  bool completed_ = false;
};

// Only inside a job: `co_await sleep(duration);`
inline Sleep sleep(std::chrono::nanoseconds duration) { return Sleep(duration); }

}  // namespace quellgate::executor
