#include "engine/cost.hpp"

#include <span>
#include <string>

#include "engine/window.hpp"

namespace quellgate::engine {

std::optional<ConfigError> check_cost(const LimiterCore& core, std::uint64_t cost) {
  if (cost <= 1) return std::nullopt;
  // The names and limits are fixed at construction; the lock is only the
  // table's way in. A broken table admits nothing anyway, so it passes here.
  const auto too_small = core.window_table().with_lock([cost](std::span<WindowState> windows) {
    for (const WindowState& window : windows) {
      if (window.limit < cost) return std::optional<ConfigError>(ConfigError{
          "cost " + std::to_string(cost) + " exceeds the " + std::string(window.name) + " window's limit of " +
          std::to_string(window.limit)});
    }
    return std::optional<ConfigError>();
  });
  return too_small.value_or(std::nullopt);
}

}  // namespace quellgate::engine
