#pragma once
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>

#include "executor/cancel_signal.hpp"
#include "executor/job_handle.hpp"
#include "executor/scheduler.hpp"
#include "executor/task.hpp"

namespace quellgate::executor {

// A pool of worker threads running spawned jobs. Any worker may run any job
// and a job may resume on another worker after each suspension; a suspended
// job holds no thread. All threads are started, and named, by the
// constructor.
class BackgroundExecutor {
 public:
  struct Config {
    std::size_t worker_threads;
    std::string thread_name = "osken-runtime-worker";
    std::size_t stack_bytes = 2 * 1024 * 1024;
  };

  // Throws std::runtime_error "OS can't spawn worker thread: <reason>" once
  // the workers it had started have ended.
  explicit BackgroundExecutor(Config config);
  // Stops the workers without waiting for them. Jobs still alive then are
  // leaked, so destroy an executor only once its jobs have ended.
  ~BackgroundExecutor();
  BackgroundExecutor(const BackgroundExecutor&) = delete;
  BackgroundExecutor& operator=(const BackgroundExecutor&) = delete;

  // Never blocks and never runs the job on the calling thread; callable from
  // any thread, including from inside a job.
  template <class T>
  JobHandle<T> spawn(Task<T> task, std::shared_ptr<CancelSignal> cancel = {}) {
    if (!task.valid()) throw std::invalid_argument("spawn needs a task that has a coroutine");
    auto* job = new detail::JobState<T>(*scheduler_, std::move(task), std::move(cancel));
    JobHandle<T> handle(job);
    scheduler_->schedule(*job);
    return handle;
  }

  std::size_t worker_count() const noexcept { return worker_count_; }

 private:
  std::shared_ptr<detail::Scheduler> scheduler_;
  std::size_t worker_count_;
};

}  // namespace quellgate::executor
