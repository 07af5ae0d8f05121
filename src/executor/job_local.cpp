#include "executor/job_local.hpp"

namespace quellgate::executor {

std::shared_ptr<void> current_job_local() {
  detail::JobBase* job = detail::current_job();
  return job ? job->local_value() : nullptr;
}

namespace detail {

JobLocalBinding::JobLocalBinding(std::shared_ptr<void> value)
    : job_(require_current_job("scope() was entered")), previous_(std::exchange(job_.local_value(), std::move(value))) {}

JobLocalBinding::~JobLocalBinding() { job_.local_value() = std::move(previous_); }

}  // namespace detail
}  // namespace quellgate::executor
