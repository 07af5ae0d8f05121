#include "executor/cancel_signal.hpp"

#include <stdexcept>

#include "executor/job.hpp"

namespace quellgate::executor {

void CancelSignal::cancel() {
  if (cancelled_.exchange(true, std::memory_order_acq_rel)) return;
  // The job detaches under this lock before it can be freed, so the pointer
  // stays valid while we hold it.
  std::lock_guard lock(mutex_);
  if (job_) job_->wake();
}

bool CancelSignal::is_cancelled() const noexcept { return cancelled_.load(std::memory_order_acquire); }

void CancelSignal::attach(detail::JobBase& job) {
  std::lock_guard lock(mutex_);
  if (job_ != nullptr) throw std::logic_error("a CancelSignal can guard only one job at a time");
  job_ = &job;
}

void CancelSignal::detach(detail::JobBase& job) noexcept {
  std::lock_guard lock(mutex_);
  if (job_ == &job) job_ = nullptr;
}

}  // namespace quellgate::executor
