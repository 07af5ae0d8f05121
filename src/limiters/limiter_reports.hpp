#pragma once
#include <chrono>
#include <optional>

#include "engine/report.hpp"
#include "frame/error.hpp"

namespace quellgate {

// get_remaining(): {"second": n, ..., "burst": n} for the configured windows.
Result<PyRef> remaining_as_dict(const engine::RemainingReport& report);
// wait_time(): None when capacity is free, else seconds as a float (>= 0.001).
Result<PyRef> wait_as_float(std::optional<std::chrono::nanoseconds> wait);

}  // namespace quellgate
