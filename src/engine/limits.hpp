#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "engine/limiter_core.hpp"

namespace quellgate::engine {

// The ten constructor arguments, already converted; absent means None.
// Every member has an initializer so that designated initialization may name
// only the arguments given.
struct LimitArgs {
  std::optional<std::uint64_t> sec{}, min{}, hour{}, day{};
  std::optional<std::uint64_t> sec_window{}, min_window{}, hour_window{}, day_window{};
  bool blocking = true;
  std::optional<std::uint64_t> max_burst{};
};

// A refused configuration; the caller raises it as ValueError with this text.
struct ConfigError {
  std::string message;
};

// Validates the arguments and builds a limiter with one window per given
// limit, in the order second, minute, hour, day. A window argument multiplies
// its period's base length (1, 60, 3600, 86400 s); a product beyond 64 bits
// saturates, and a window argument without its limit has no effect.
std::expected<LimiterCore, ConfigError> make_limiter_core(const LimitArgs& args);

}  // namespace quellgate::engine
