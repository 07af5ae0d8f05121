#pragma once
#include <expected>
#include <optional>

#include "executor/job.hpp"
#include "executor/task.hpp"

namespace quellgate::executor::detail {

// A job running a Task<T>, with room for its outcome. Job and outcome share
// one allocation; the coroutine frame is the only other one.
template <class T>
class JobState final : public JobBase {
 public:
  JobState(Scheduler& scheduler, Task<T> task, std::shared_ptr<CancelSignal> cancel)
      : JobBase(scheduler, std::move(cancel)), task_(std::move(task)) {
    begin_at(task_.handle());
  }

  // Valid once has_ended(); moves the outcome out.
  std::expected<T, JobFailure> take_outcome() { return std::move(*outcome_); }

 protected:
  std::coroutine_handle<> root() const noexcept override { return task_.handle(); }

  void settle(std::optional<JobFailure> failure) override {
    if (failure) {
      task_.reset();
      outcome_.emplace(std::unexpect, std::move(*failure));
      return;
    }
    auto& promise = task_.handle().promise();
    if (promise.exception()) {
      outcome_.emplace(std::unexpect, JobFailure::panicked(promise.exception()));
    } else if constexpr (std::is_void_v<T>) {
      outcome_.emplace();
    } else {
      outcome_.emplace(promise.take_result());
    }
    task_.reset();
  }

 private:
  Task<T> task_;  // touched only by the thread running the job
  // Written before the job ends; read by the handle after it sees the end.
  std::optional<std::expected<T, JobFailure>> outcome_;
};

}  // namespace quellgate::executor::detail
