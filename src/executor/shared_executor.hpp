#pragma once
#include <memory>

#include "executor/background_executor.hpp"

namespace quellgate::executor {

// The process-wide executor, built by the first call (worker count from
// OSKEN_WORKER_THREADS, else one per logical processor) together with the
// shared blocking pool, and never destroyed. Throws std::runtime_error when
// the build fails (either pool's variable invalid, a thread refused), and on
// every later call after that: a failed build is final for the process. A
// forked child gets a fresh cell and builds its own pool on its first call.
BackgroundExecutor& shared_executor();

template <class T>
JobHandle<T> spawn(Task<T> task, std::shared_ptr<CancelSignal> cancel = {}) {
  return shared_executor().spawn(std::move(task), std::move(cancel));
}

}  // namespace quellgate::executor
