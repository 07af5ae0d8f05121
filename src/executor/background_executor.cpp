#include "executor/background_executor.hpp"

#include <vector>

#include "executor/clock.hpp"
#include "executor/os_thread.hpp"

namespace quellgate::executor {

namespace {

// Workers started so far by a build. Unless the build succeeds, they are
// stopped and joined on the way out: a failed build leaves no thread behind,
// however many it had started before the OS refused one.
class StartedWorkers {
 public:
  explicit StartedWorkers(detail::Scheduler& scheduler) : scheduler_(scheduler) {}
  ~StartedWorkers() {
    if (kept_) return;
    scheduler_.stop();
    for (OsThread& worker : workers_) worker.join();
  }
  void add(OsThread worker) { workers_.push_back(std::move(worker)); }
  // The workers live on, detached, for as long as the scheduler runs.
  void keep() noexcept { kept_ = true; }
  StartedWorkers(const StartedWorkers&) = delete;
  StartedWorkers& operator=(const StartedWorkers&) = delete;

 private:
  detail::Scheduler& scheduler_;
  std::vector<OsThread> workers_;
  bool kept_ = false;
};

}  // namespace

BackgroundExecutor::BackgroundExecutor(Config config)
    : scheduler_(std::make_shared<detail::Scheduler>(monotonic_now())), worker_count_(config.worker_threads) {
  if (worker_count_ == 0) throw std::invalid_argument("a BackgroundExecutor needs at least one worker thread");
  StartedWorkers started(*scheduler_);
  for (std::size_t i = 0; i < worker_count_; ++i) {
    auto worker = start_os_thread(config.thread_name, config.stack_bytes,
                                  [scheduler = scheduler_] { scheduler->work(); });
    if (!worker) throw std::runtime_error("OS can't spawn worker thread: " + os_error_text(worker.error()));
    started.add(std::move(*worker));
  }
  started.keep();
}

BackgroundExecutor::~BackgroundExecutor() { scheduler_->stop(); }

}  // namespace quellgate::executor
