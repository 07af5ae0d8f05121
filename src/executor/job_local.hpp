#pragma once
#include <memory>

#include "executor/job.hpp"
#include "executor/task.hpp"

namespace quellgate::executor {

// The value bound by the innermost scope() around the code running now, or
// null (also outside any job).
std::shared_ptr<void> current_job_local();

namespace detail {

// Binds a value to the current job for its lifetime and restores the previous
// one afterwards, also when the job is abandoned.
class JobLocalBinding {
 public:
  explicit JobLocalBinding(std::shared_ptr<void> value);
  ~JobLocalBinding();
  JobLocalBinding(const JobLocalBinding&) = delete;
  JobLocalBinding& operator=(const JobLocalBinding&) = delete;

 private:
  JobBase& job_;
  std::shared_ptr<void> previous_;
};

}  // namespace detail

// Runs `inner` with `value` bound as the job-local value.
template <class T>
Task<T> scope(std::shared_ptr<void> value, Task<T> inner) {
  detail::JobLocalBinding binding(std::move(value));
  // Declared after the binding so that, when the job is abandoned, the inner
  // frame is destroyed while the value is still bound.
  Task<T> body = std::move(inner);
  co_return co_await std::move(body);
}

}  // namespace quellgate::executor
