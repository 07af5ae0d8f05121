#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>

#include "executor/job.hpp"
#include "executor/monotonic_condition.hpp"
#include "executor/timekeeper_wait.hpp"
#include "executor/timer.hpp"

namespace quellgate::executor::detail {

// A sleep's timer entry together with the job it belongs to.
struct JobTimerEntry : TimerEntry {
  JobBase* job = nullptr;  // set before filing; the job outlives its frame
  // Set (release) under the scheduler's lock when the entry fires; read
  // (acquire) by the worker deciding whether the sleep may end.
  std::atomic<bool> fired{false};
};

// The shared state of one executor's workers: the run queue, the timer and
// the parked workers. Workers hold it by shared_ptr, so it outlives the
// BackgroundExecutor object if that is destroyed while they still run.
//
// Parking: at most one parked worker (the timekeeper) waits with a timeout at
// the earliest filed tick, on the OS's idle wait (TimekeeperWait); the others
// wait without one until handed a token.
class Scheduler {
 public:
  explicit Scheduler(std::chrono::nanoseconds start);
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // Queues a job that is in the `scheduled` state and wakes a worker for it.
  void schedule(JobBase& job);
  // For a caller already holding the lock: queues without waking anyone.
  void enqueue_locked(JobBase& job);

  // Files a sleep at the tick of its deadline. False when the tick has
  // already been processed, i.e. the sleep is over and must not suspend.
  bool file_sleep(JobTimerEntry& entry, std::chrono::nanoseconds deadline);
  // Removes a sleep under the lock if it is still filed. Once it returns, no
  // firing is still touching the entry or waking its job for it.
  void withdraw_sleep(JobTimerEntry& entry);

  // The worker loop; returns once stop() was called.
  void work();
  void stop();

 private:
  JobBase* pop_locked();
  void fire_due_timers_locked();
  void wake_worker_for_new_work_locked();
  bool hand_token_to_idle_worker_locked();
  void keep_a_timekeeper_locked();
  void park_locked(std::unique_lock<std::mutex>& lock);
  void park_as_timekeeper_locked(std::unique_lock<std::mutex>& lock);
  void park_idle_locked(std::unique_lock<std::mutex>& lock);

  // Never held while a job runs: the interpreter may end a worker inside a
  // job, and on Windows that unwinds nothing, so a lock held then would stay
  // held for good.
  std::mutex mutex_;
  // Everything below is guarded by mutex_.
  Timer timer_;
  JobBase* queue_head_ = nullptr;
  JobBase* queue_tail_ = nullptr;
  bool timekeeper_parked_ = false;
  std::optional<std::uint64_t> timekeeper_wait_tick_;
  std::size_t idle_parked_ = 0;
  std::size_t idle_wake_tokens_ = 0;
  bool stopping_ = false;
  TimekeeperWait timekeeper_wakeup_;
  MonotonicCondition idle_wakeup_;
};

}  // namespace quellgate::executor::detail
