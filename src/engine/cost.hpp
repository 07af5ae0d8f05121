#pragma once

#include <cstdint>
#include <optional>

#include "engine/limiter_core.hpp"
#include "engine/limits.hpp"

namespace quellgate::engine {

// Whether an admission of `cost` places could ever be admitted: a cost above
// some window's limit would wait forever, so it is refused at the call,
// naming the first such window and its limit. Cost 1 always fits (every
// limit is at least 1) and is answered without a look at the table.
std::optional<ConfigError> check_cost(const LimiterCore& core, std::uint64_t cost);

}  // namespace quellgate::engine
