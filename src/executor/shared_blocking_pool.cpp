#include "executor/shared_blocking_pool.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <type_traits>

#include "executor/count_variable.hpp"
#include "executor/environment.hpp"
#include "executor/word_wait.hpp"

namespace quellgate::executor {

namespace {

struct PoolCell {
  WordLock build_lock;  // held while the pool is made
  // Release when published, acquire on the lock-free fast path.
  std::atomic<BlockingPool*> pool{nullptr};
};

// Constant-initialised and trivially destructible, as the executor's cell:
// no static destructor runs while pool threads may still use the pool.
static_assert(std::is_trivially_destructible_v<PoolCell>);
constinit PoolCell cell;
bool fork_handler_registered = false;  // guarded by cell.build_lock

// Constant-initialised, so a hook set during any static initialisation is
// kept. Release when set, acquire when the pool is built: the hook's own
// setup is visible to the threads that run it.
constinit std::atomic<void (*)()> thread_end_hook{nullptr};

// The parent's pool, its lock and its thread count are left untouched and
// leaked: the child has none of its threads.
void reset_cell_in_fork_child() { std::construct_at(&cell); }

}  // namespace

std::chrono::nanoseconds resolve_blocking_idle(const std::optional<std::string>& raw_value) {
  if (!raw_value) return kDefaultBlockingIdle;
  const std::size_t milliseconds = parse_count_variable(kBlockingIdleVariable, *raw_value);
  // A day is more than anyone means; it also keeps the nanoseconds in range.
  constexpr std::size_t kLongest = 24ULL * 3600 * 1000;
  return std::chrono::milliseconds(static_cast<long long>(std::min(milliseconds, kLongest)));
}

void set_blocking_thread_end_hook(void (*hook)()) noexcept { thread_end_hook.store(hook, std::memory_order_release); }

BlockingPool& shared_blocking_pool() {
  if (BlockingPool* built = cell.pool.load(std::memory_order_acquire)) return *built;
  std::lock_guard lock(cell.build_lock);
  if (BlockingPool* built = cell.pool.load(std::memory_order_relaxed)) return *built;
  if (!fork_handler_registered) {
    register_fork_child_handler(reset_cell_in_fork_child);
    fork_handler_registered = true;
  }
  auto* built = new BlockingPool(BlockingPool::Config{
      .idle_timeout = resolve_blocking_idle(read_environment_variable(kBlockingIdleVariable)),
      .on_thread_end = thread_end_hook.load(std::memory_order_acquire)});
  cell.pool.store(built, std::memory_order_release);
  return *built;
}

}  // namespace quellgate::executor
