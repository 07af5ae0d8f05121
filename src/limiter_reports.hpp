#pragma once
#include <chrono>

#include "engine/limiter_core.hpp"
#include "error.hpp"

namespace quellgate {

// get_remaining(): {"second": n, ..., "burst": n} for the configured windows.
Result<PyRef> remaining_as_dict(const engine::LimiterCore& core, std::chrono::nanoseconds now);
// wait_time(): None when capacity is free, else seconds as a float (>= 0.001).
Result<PyRef> wait_as_float(const engine::LimiterCore& core, std::chrono::nanoseconds now);

}  // namespace quellgate
