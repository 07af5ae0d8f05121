#pragma once
#include <chrono>
#include <optional>

#include "engine/limiter_core.hpp"
#include "engine/report.hpp"
#include "frame/error.hpp"

namespace quellgate {

// The reports as of now, or what stopped the limiter's home from reading
// them. They take no interpreter lock; a home that asks a server waits for
// its answer, so a thread holding the lock gives it up first.
Result<engine::RemainingReport> read_remaining(const engine::LimiterCore& core);
Result<std::optional<std::chrono::nanoseconds>> read_wait(const engine::LimiterCore& core);

// How full the home's table of keys is; nothing when it keeps no bounded
// table (in the process, at a server).
Result<std::optional<engine::CountHome::KeyTableUse>> read_key_use(const engine::LimiterCore& core);
// key_use(): {"live": n, "max_keys": n, "refused": n}, or None.
Result<PyRef> key_use_as_dict(const std::optional<engine::CountHome::KeyTableUse>& use);

// get_remaining(): {"second": n, ..., "burst": n} for the configured windows.
Result<PyRef> remaining_as_dict(const engine::RemainingReport& report);
// wait_time(): None when capacity is free, else seconds as a float (>= 0.001).
Result<PyRef> wait_as_float(std::optional<std::chrono::nanoseconds> wait);

}  // namespace quellgate
