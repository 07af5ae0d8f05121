#pragma once
#include <chrono>
#include <optional>
#include <string>

#include "executor/blocking_pool.hpp"

namespace quellgate::executor {

inline constexpr const char* kBlockingIdleVariable = "OSKEN_BLOCKING_IDLE_MS";
inline constexpr std::chrono::seconds kDefaultBlockingIdle{5};

// How long a blocking-pool thread idles before it ends, from the raw value of
// OSKEN_BLOCKING_IDLE_MS: a positive decimal count of milliseconds. Unset or
// anything else gives the default: a tuning knob, not worth failing over.
std::chrono::nanoseconds resolve_blocking_idle(const std::optional<std::string>& raw_value);

// The process-wide blocking pool, made by the first call; it starts no thread
// until its first submit. A forked child gets a fresh pool with no threads:
// the parent's were not copied into it.
BlockingPool& shared_blocking_pool();

}  // namespace quellgate::executor
