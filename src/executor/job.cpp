#include "executor/job.hpp"

#include <stdexcept>

#include "executor/cancel_signal.hpp"
#include "executor/scheduler.hpp"

namespace quellgate::executor::detail {

namespace {

constexpr std::uintptr_t kNoWaiter = 0;
constexpr std::uintptr_t kEnded = 1;

thread_local JobBase* running_job = nullptr;

// Restores the thread's previous job even when a forced unwind tears the
// worker down in the middle of a job.
class RunningJobScope {
 public:
  explicit RunningJobScope(JobBase& job) noexcept : previous_(std::exchange(running_job, &job)) {}
  ~RunningJobScope() { running_job = previous_; }
  RunningJobScope(const RunningJobScope&) = delete;
  RunningJobScope& operator=(const RunningJobScope&) = delete;

 private:
  JobBase* previous_;
};

std::uintptr_t address_of(JobBase& job) noexcept { return reinterpret_cast<std::uintptr_t>(&job); }

}  // namespace

JobBase* current_job() noexcept { return running_job; }

JobBase& require_current_job(const char* what) {
  if (running_job == nullptr) throw std::logic_error(std::string(what) + " outside a job of the executor");
  return *running_job;
}

JobBase::JobBase(Scheduler& scheduler, std::shared_ptr<CancelSignal> cancel)
    : scheduler_(scheduler), cancel_(std::move(cancel)) {
  if (cancel_) cancel_->attach(*this);
}

JobBase::~JobBase() = default;

void JobBase::add_ref() noexcept { references_.fetch_add(1, std::memory_order_relaxed); }

void JobBase::release() noexcept {
  if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

void JobBase::begin_at(std::coroutine_handle<> root) noexcept { resume_point_ = root; }

void JobBase::wake() {
  if (advance_for_wake() == RunState::idle) scheduler_.schedule(*this);
}

void JobBase::wake_with_scheduler_locked() {
  if (advance_for_wake() == RunState::idle) scheduler_.enqueue_locked(*this);
}

// Returns the state the wake found. Even a wake that changes nothing (the job
// is already scheduled) performs an RMW, so the worker's later RMW acquires
// whatever the waker made ready.
JobBase::RunState JobBase::advance_for_wake() noexcept {
  RunState seen = state_.load(std::memory_order_relaxed);
  for (;;) {
    RunState next = seen;
    switch (seen) {
      case RunState::idle: next = RunState::scheduled; break;
      case RunState::scheduled: break;
      case RunState::running:
      case RunState::running_notified: next = RunState::running_notified; break;
      case RunState::ended: return seen;
    }
    if (state_.compare_exchange_weak(seen, next, std::memory_order_acq_rel, std::memory_order_relaxed)) return seen;
  }
}

void JobBase::suspend_at(std::coroutine_handle<> resume_point, const AwaitedEvent& awaited) noexcept {
  resume_point_ = resume_point;
  awaited_ = &awaited;
}

void JobBase::run() {
  RunningJobScope running(*this);
  state_.exchange(RunState::running, std::memory_order_acq_rel);
  for (;;) {
    if (poll()) return;  // ended; the job may already be freed
    RunState expected = RunState::running;
    if (state_.compare_exchange_strong(expected, RunState::idle, std::memory_order_acq_rel,
                                       std::memory_order_acquire)) {
      return;  // another thread may own the job from here on
    }
    // Woken while running: look again before going idle.
    state_.exchange(RunState::running, std::memory_order_acq_rel);
  }
}

bool JobBase::poll() {
  if (awaited_ == nullptr || awaited_->has_happened()) {
    awaited_ = nullptr;
    std::exchange(resume_point_, {}).resume();
    // Finishing in this run wins over a cancel that arrived meanwhile.
    if (root().done()) {
      end(std::nullopt);
      return true;
    }
    if (!resume_point_) {
      end(JobFailure{JobFailure::Kind::panicked, "a job suspended on an awaitable the executor cannot resume"});
      return true;
    }
  }
  if (cancel_requested()) {
    end(JobFailure::cancelled());
    return true;
  }
  return false;
}

bool JobBase::cancel_requested() const noexcept { return cancel_ && cancel_->is_cancelled(); }

void JobBase::end(std::optional<JobFailure> failure) {
  settle(std::move(failure));
  awaited_ = nullptr;
  local_value_.reset();
  if (cancel_) cancel_->detach(*this);
  state_.exchange(RunState::ended, std::memory_order_acq_rel);
  const std::uintptr_t waiter = completion_waiter_.exchange(kEnded, std::memory_order_acq_rel);
  if (waiter > kEnded) Waker::adopt(reinterpret_cast<JobBase*>(waiter)).wake();
  release();  // the executor's reference
}

bool JobBase::add_completion_waiter(JobBase& waiter) noexcept {
  waiter.add_ref();
  std::uintptr_t expected = kNoWaiter;
  if (completion_waiter_.compare_exchange_strong(expected, address_of(waiter), std::memory_order_acq_rel,
                                                 std::memory_order_acquire)) {
    return true;
  }
  waiter.release();
  return false;
}

bool JobBase::remove_completion_waiter(JobBase& waiter) noexcept {
  std::uintptr_t expected = address_of(waiter);
  if (!completion_waiter_.compare_exchange_strong(expected, kNoWaiter, std::memory_order_acq_rel,
                                                  std::memory_order_acquire)) {
    return false;  // already ended: the ending job took over the reference
  }
  waiter.release();
  return true;
}

bool JobBase::has_ended() const noexcept { return completion_waiter_.load(std::memory_order_acquire) == kEnded; }

}  // namespace quellgate::executor::detail
