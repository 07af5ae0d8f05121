#include "executor/sleep.hpp"

#include "executor/clock.hpp"

namespace quellgate::executor {

Sleep::Sleep(std::chrono::nanoseconds duration)
    : deadline_(deadline_after(monotonic_now(), duration)), job_(detail::current_job()) {}

Sleep::~Sleep() {
  // Always under the lock, even once fired: the worker that fires an entry
  // marks it and then wakes its job while holding the lock, so only after
  // taking it may the job's frame, and then the job, go away.
  if (filed_with_) filed_with_->withdraw_sleep(entry_);
}

bool Sleep::await_suspend(std::coroutine_handle<> awaiting) {
  detail::JobBase& job = detail::require_current_job("a sleep was awaited");
  entry_.job = &job;
  if (!job.scheduler().file_sleep(entry_, deadline_)) {
    completed_ = true;
    return false;
  }
  filed_with_ = &job.scheduler();
  job.suspend_at(awaiting, *this);
  return true;
}

void Sleep::wake_early() noexcept {
  woken_early_.store(true, std::memory_order_release);
  // A job that is running (still on its way to the await) is marked to look
  // again before it goes idle, so this wake cannot slip past the suspension.
  if (job_ != nullptr) job_->wake();
}

bool Sleep::has_happened() const noexcept {
  return entry_.fired.load(std::memory_order_acquire) || woken_early_.load(std::memory_order_acquire);
}

}  // namespace quellgate::executor
