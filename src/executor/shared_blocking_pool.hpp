#pragma once
#include <chrono>
#include <optional>
#include <string>

#include "executor/blocking_pool.hpp"

namespace quellgate::executor {

inline constexpr const char* kBlockingIdleVariable = "OSKEN_BLOCKING_IDLE_MS";
inline constexpr std::chrono::seconds kDefaultBlockingIdle{5};

// How long a blocking-pool thread idles before it ends, from the raw value of
// OSKEN_BLOCKING_IDLE_MS (nullopt when unset, which gives the default): a
// positive decimal count of milliseconds, read as OSKEN_WORKER_THREADS is.
// Throws std::runtime_error naming the variable for any other value.
std::chrono::nanoseconds resolve_blocking_idle(const std::optional<std::string>& raw_value);

// Runs on every thread of the shared pool just before it ends by itself
// (never when the interpreter ends it): a layer above that keeps per-thread
// resources on these threads frees them here. Set it before the pool's
// first use; the pool is built with the hook set by then.
void set_blocking_thread_end_hook(void (*hook)()) noexcept;

// The process-wide blocking pool, made by the first call; it starts no thread
// until its first submit. Throws std::runtime_error, as resolve_blocking_idle,
// on this and every later call while OSKEN_BLOCKING_IDLE_MS is invalid. A
// forked child gets a fresh pool with no threads: the parent's were not
// copied into it.
BlockingPool& shared_blocking_pool();

}  // namespace quellgate::executor
