#include "engine/limiter_core.hpp"

namespace quellgate::engine {

LimiterCore::LimiterCore(std::span<const WindowState> windows, bool blocking,
                         std::optional<std::uint64_t> max_burst)
    : shared_(std::make_shared<LimiterState>(windows)), blocking_(blocking), max_burst_(max_burst) {}

}  // namespace quellgate::engine
