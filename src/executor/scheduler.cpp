#include "executor/scheduler.hpp"

#include "executor/clock.hpp"

namespace quellgate::executor::detail {

Scheduler::Scheduler(std::chrono::nanoseconds start) : timer_(start) {}

void Scheduler::schedule(JobBase& job) {
  std::lock_guard lock(mutex_);
  enqueue_locked(job);
  wake_worker_for_new_work_locked();
}

void Scheduler::enqueue_locked(JobBase& job) {
  job.next_in_queue = nullptr;
  if (queue_tail_) queue_tail_->next_in_queue = &job;
  else queue_head_ = &job;
  queue_tail_ = &job;
}

JobBase* Scheduler::pop_locked() {
  JobBase* job = queue_head_;
  if (!job) return nullptr;
  queue_head_ = job->next_in_queue;
  if (!queue_head_) queue_tail_ = nullptr;
  job->next_in_queue = nullptr;
  return job;
}

bool Scheduler::file_sleep(JobTimerEntry& entry, std::chrono::nanoseconds deadline) {
  std::lock_guard lock(mutex_);
  entry.tick = timer_.tick_for_deadline(deadline);
  if (timer_.already_due(entry.tick)) return false;
  timer_.file(entry);
  // Only a parked timekeeper needs telling: a busy worker checks the timer
  // before it parks, and the filing worker is one of those.
  if (timekeeper_parked_ && (!timekeeper_wait_tick_ || entry.tick < *timekeeper_wait_tick_)) {
    timekeeper_wait_tick_ = entry.tick;
    timekeeper_wakeup_.notify_one();
  }
  return true;
}

void Scheduler::withdraw_sleep(JobTimerEntry& entry) {
  std::lock_guard lock(mutex_);
  timer_.withdraw(entry);
}

void Scheduler::stop() {
  std::lock_guard lock(mutex_);
  stopping_ = true;
  timekeeper_wakeup_.notify_all();
  idle_wakeup_.notify_all();
}

void Scheduler::work() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    fire_due_timers_locked();
    if (JobBase* job = pop_locked()) {
      keep_a_timekeeper_locked();
      lock.unlock();
      job->run();
      lock.lock();
      continue;
    }
    park_locked(lock);
  }
}

void Scheduler::fire_due_timers_locked() {
  const std::size_t fired = timer_.process(monotonic_now(), [](TimerEntry& due) {
    auto& entry = static_cast<JobTimerEntry&>(due);
    entry.fired.store(true, std::memory_order_release);
    entry.job->wake_with_scheduler_locked();
  });
  // This worker takes one of them itself; others may help with the rest.
  for (std::size_t i = 1; i < fired; ++i) wake_worker_for_new_work_locked();
}

void Scheduler::wake_worker_for_new_work_locked() {
  if (hand_token_to_idle_worker_locked()) return;
  if (timekeeper_parked_) timekeeper_wakeup_.notify_one();
}

bool Scheduler::hand_token_to_idle_worker_locked() {
  if (idle_parked_ <= idle_wake_tokens_) return false;
  ++idle_wake_tokens_;
  idle_wakeup_.notify_one();
  return true;
}

// A worker about to run a job stops watching the timer; if sleeps are filed
// and nobody else watches it, an idle worker takes over the role.
void Scheduler::keep_a_timekeeper_locked() {
  if (timekeeper_parked_ || timer_.filed_count() == 0 || idle_wake_tokens_ > 0) return;
  hand_token_to_idle_worker_locked();
}

void Scheduler::park_locked(std::unique_lock<std::mutex>& lock) {
  if (timekeeper_parked_) park_idle_locked(lock);
  else park_as_timekeeper_locked(lock);
}

void Scheduler::park_as_timekeeper_locked(std::unique_lock<std::mutex>& lock) {
  timekeeper_parked_ = true;
  timekeeper_wait_tick_ = timer_.earliest_tick();
  const auto deadline = timekeeper_wait_tick_ ? timer_.instant_of(*timekeeper_wait_tick_) : std::nullopt;
  // One wait per call, spurious or not: the loop re-fires timers, looks for
  // work and parks again with a fresh deadline.
  if (deadline) timekeeper_wakeup_.wait_until(lock, *deadline);
  else timekeeper_wakeup_.wait(lock);
  timekeeper_parked_ = false;
  timekeeper_wait_tick_.reset();
}

void Scheduler::park_idle_locked(std::unique_lock<std::mutex>& lock) {
  ++idle_parked_;
  while (idle_wake_tokens_ == 0 && !stopping_) idle_wakeup_.wait(lock);
  if (idle_wake_tokens_ > 0) --idle_wake_tokens_;
  --idle_parked_;
}

}  // namespace quellgate::executor::detail
