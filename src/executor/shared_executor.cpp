#include "executor/shared_executor.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <type_traits>

#include "executor/environment.hpp"
#include "executor/forced_unwind.hpp"
#include "executor/os_thread.hpp"
#include "executor/shared_blocking_pool.hpp"
#include "executor/word_wait.hpp"
#include "executor/worker_count.hpp"

namespace quellgate::executor {

namespace {

struct ExecutorCell {
  // Held for the whole build, so concurrent first callers wait for its end.
  WordLock build_lock;
  // Release when published, acquire on the lock-free fast path.
  std::atomic<BackgroundExecutor*> executor{nullptr};
  bool build_failed = false;  // guarded by build_lock
};

// Constant-initialised and trivially destructible: no static destructor can
// run while workers still use the executor.
static_assert(std::is_trivially_destructible_v<ExecutorCell>);
constinit ExecutorCell cell;
bool fork_handler_registered = false;  // guarded by cell.build_lock

// The child of a fork has none of the parent's workers. Start it on a fresh
// cell; the parent's executor and its locks are left untouched and leaked.
void reset_cell_in_fork_child() { std::construct_at(&cell); }

BackgroundExecutor* build() {
  const std::size_t workers =
      resolve_worker_count(read_environment_variable(kWorkerThreadsVariable), logical_processor_count());
  // Made here, though it starts no thread until used, so that an invalid
  // OSKEN_BLOCKING_IDLE_MS is refused as an invalid worker count is: by the
  // first asynchronous call, not by a decorated call's Future later on.
  shared_blocking_pool();
  return new BackgroundExecutor(BackgroundExecutor::Config{.worker_threads = workers});
}

}  // namespace

BackgroundExecutor& shared_executor() {
  if (BackgroundExecutor* built = cell.executor.load(std::memory_order_acquire)) return *built;
  std::lock_guard lock(cell.build_lock);
  if (BackgroundExecutor* built = cell.executor.load(std::memory_order_relaxed)) return *built;
  if (cell.build_failed) {
    throw std::runtime_error("the background executor failed to build earlier in this process");
  }
  if (!fork_handler_registered) {
    register_fork_child_handler(reset_cell_in_fork_child);
    fork_handler_registered = true;
  }
  try {
    BackgroundExecutor* built = build();
    cell.executor.store(built, std::memory_order_release);
    return *built;
  } catch (...) {
    if (!ending_the_thread()) cell.build_failed = true;
    throw;
  }
}

}  // namespace quellgate::executor
