#pragma once
#include <coroutine>
#include <expected>
#include <utility>

#include "executor/job_state.hpp"

namespace quellgate::executor {

// The result of spawning. Awaiting it inside a job yields the job's value or
// a JobFailure; it may be awaited once. Dropping it detaches the job, which
// runs on regardless.
template <class T>
class [[nodiscard]] JobHandle : private detail::AwaitedEvent {
 public:
  // Adopts the reference `job` counted for its handle.
  explicit JobHandle(detail::JobState<T>* job) noexcept : job_(job) {}
  JobHandle(JobHandle&& other) noexcept
      : job_(std::exchange(other.job_, nullptr)), waiter_(std::exchange(other.waiter_, nullptr)) {}
  JobHandle& operator=(JobHandle&& other) noexcept {
    if (this != &other) {
      detach();
      job_ = std::exchange(other.job_, nullptr);
      waiter_ = std::exchange(other.waiter_, nullptr);
    }
    return *this;
  }
  ~JobHandle() { detach(); }

  bool is_finished() const noexcept { return job_ && job_->has_ended(); }

  bool await_ready() const noexcept { return job_->has_ended(); }
  bool await_suspend(std::coroutine_handle<> awaiting) {
    detail::JobBase& me = detail::require_current_job("a JobHandle was awaited");
    if (!job_->add_completion_waiter(me)) return false;
    waiter_ = &me;
    me.suspend_at(awaiting, *this);
    return true;
  }
  std::expected<T, JobFailure> await_resume() {
    waiter_ = nullptr;  // the ended job consumed the registration
    return job_->take_outcome();
  }

 private:
  bool has_happened() const noexcept override { return job_->has_ended(); }

  void detach() noexcept {
    if (!job_) return;
    if (waiter_) job_->remove_completion_waiter(*waiter_);
    waiter_ = nullptr;
    std::exchange(job_, nullptr)->release();
  }

  detail::JobState<T>* job_ = nullptr;
  detail::JobBase* waiter_ = nullptr;  // the job suspended on this handle, if any
};

}  // namespace quellgate::executor
