#include "executor/background_executor.hpp"

#include "executor/clock.hpp"
#include "executor/os_thread.hpp"

namespace quellgate::executor {

BackgroundExecutor::BackgroundExecutor(Config config)
    : scheduler_(std::make_shared<detail::Scheduler>(monotonic_now())), worker_count_(config.worker_threads) {
  if (worker_count_ == 0) throw std::invalid_argument("a BackgroundExecutor needs at least one worker thread");
  for (std::size_t i = 0; i < worker_count_; ++i) {
    auto started = start_os_thread(config.thread_name, config.stack_bytes,
                                   [scheduler = scheduler_] { scheduler->work(); });
    if (!started) {
      // Workers already running hold the scheduler; let them leave.
      scheduler_->stop();
      throw std::runtime_error("OS can't spawn worker thread: " + os_error_text(started.error()));
    }
  }
}

BackgroundExecutor::~BackgroundExecutor() { scheduler_->stop(); }

}  // namespace quellgate::executor
