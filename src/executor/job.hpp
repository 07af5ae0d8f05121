#pragma once
#include <atomic>
#include <coroutine>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "executor/job_failure.hpp"

namespace quellgate::executor {

class CancelSignal;

namespace detail {

class Scheduler;

// What a suspended job waits for. It lives in the job's coroutine frame at the
// suspension point; the worker asks it before resuming, so a wake-up that
// arrives for any other reason never lets the job run past it.
class AwaitedEvent {
 public:
  virtual bool has_happened() const noexcept = 0;

 protected:
  ~AwaitedEvent() = default;
};

// One spawned job: its coroutine, where it is suspended, and how it is
// scheduled. Reference-counted: the executor holds a reference until the job
// ends, its JobHandle holds one, and so does every outstanding Waker.
class JobBase {
 public:
  JobBase(Scheduler& scheduler, std::shared_ptr<CancelSignal> cancel);
  virtual ~JobBase();
  JobBase(const JobBase&) = delete;
  JobBase& operator=(const JobBase&) = delete;

  void add_ref() noexcept;
  void release() noexcept;

  // Makes the job runnable; callable from any thread at any time.
  void wake();
  // The same, for a caller that holds the scheduler's lock (the timer).
  void wake_with_scheduler_locked();

  // Called by an awaitable's await_suspend on the thread running the job.
  void suspend_at(std::coroutine_handle<> resume_point, const AwaitedEvent& awaited) noexcept;

  // Runs the job on the calling worker until it suspends with nothing
  // pending, or ends. The scheduler calls this for a job it popped.
  void run();

  Scheduler& scheduler() const noexcept { return scheduler_; }
  // What cancels this job; null for a job nobody can cancel.
  const std::shared_ptr<CancelSignal>& cancel_signal() const noexcept { return cancel_; }
  std::shared_ptr<void>& local_value() noexcept { return local_value_; }

  // Registers `waiter` to be woken when this job ends. False (and nothing
  // registered) when it has already ended.
  bool add_completion_waiter(JobBase& waiter) noexcept;
  // Withdraws a registration; true when it was still in place.
  bool remove_completion_waiter(JobBase& waiter) noexcept;
  bool has_ended() const noexcept;

  JobBase* next_in_queue = nullptr;  // guarded by the scheduler's lock

 protected:
  virtual std::coroutine_handle<> root() const noexcept = 0;
  // Records the outcome: the root's result, or `failure` when given, and
  // destroys the coroutine frame in both cases.
  virtual void settle(std::optional<JobFailure> failure) = 0;
  // Where the first run starts: the root coroutine.
  void begin_at(std::coroutine_handle<> root) noexcept;

 private:
  enum class RunState : std::uint8_t { idle, scheduled, running, running_notified, ended };

  RunState advance_for_wake() noexcept;
  bool poll();
  void end(std::optional<JobFailure> failure);
  bool cancel_requested() const noexcept;

  // Every transition is a read-modify-write with acq_rel: a waker publishes
  // what it made ready before its RMW, and the worker's next RMW on the state
  // acquires it, so "ready but nobody noticed" cannot happen.
  std::atomic<RunState> state_{RunState::scheduled};
  // Relaxed increments (a reference is only copied from a live one); the
  // final decrement is acq_rel so the deleting thread sees all prior writes.
  std::atomic<std::uint32_t> references_{2};
  // 0: nobody waits; 1: ended; otherwise the JobBase* of a waiting job, which
  // holds a reference for as long as it sits here. acq_rel on every RMW: the
  // outcome is written before the job ends and read after seeing 1.
  std::atomic<std::uintptr_t> completion_waiter_{0};
  Scheduler& scheduler_;
  const std::shared_ptr<CancelSignal> cancel_;
  // The fields below are touched only by the thread currently running the
  // job; the state transitions above hand them from worker to worker.
  std::coroutine_handle<> resume_point_;
  const AwaitedEvent* awaited_ = nullptr;
  std::shared_ptr<void> local_value_;
};

// The job currently running on this thread, or null.
JobBase* current_job() noexcept;
// As current_job(), but an internal fault (std::logic_error) outside a job.
JobBase& require_current_job(const char* what);

// An owned reference to a job that can make it runnable once.
class Waker {
 public:
  Waker() noexcept = default;
  explicit Waker(JobBase& job) noexcept : job_(&job) { job.add_ref(); }
  Waker(Waker&& other) noexcept : job_(std::exchange(other.job_, nullptr)) {}
  Waker& operator=(Waker&& other) noexcept {
    if (this != &other) {
      drop();
      job_ = std::exchange(other.job_, nullptr);
    }
    return *this;
  }
  ~Waker() { drop(); }

  explicit operator bool() const noexcept { return job_ != nullptr; }
  void wake() && {
    if (JobBase* job = std::exchange(job_, nullptr)) {
      job->wake();
      job->release();
    }
  }
  // Adopts a reference that was already counted for this waker.
  static Waker adopt(JobBase* job) noexcept {
    Waker waker;
    waker.job_ = job;
    return waker;
  }

 private:
  void drop() noexcept {
    if (JobBase* job = std::exchange(job_, nullptr)) job->release();
  }
  JobBase* job_ = nullptr;
};

}  // namespace detail
}  // namespace quellgate::executor
