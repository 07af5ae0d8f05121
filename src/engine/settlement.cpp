#include "engine/settlement.hpp"

#include <limits>
#include <span>

#include "engine/count_home.hpp"
#include "engine/window.hpp"

namespace quellgate::engine {
namespace {

void apply(WindowState& window, std::int64_t delta) noexcept {
  if (delta >= 0) {
    const auto more = static_cast<std::uint64_t>(delta);
    const std::uint64_t room = std::numeric_limits<std::uint64_t>::max() - window.count;
    window.count += more < room ? more : room;
    return;
  }
  // -(delta + 1) + 1 keeps INT64_MIN in range.
  const std::uint64_t less = static_cast<std::uint64_t>(-(delta + 1)) + 1;
  window.count -= less < window.count ? less : window.count;
}

}  // namespace

void settle(const LimiterCore& core, std::chrono::nanoseconds decided_at, std::chrono::nanoseconds now,
            std::int64_t delta) noexcept {
  if (delta == 0) return;
  if (core.home() != nullptr) return core.home()->settle(decided_at, delta);
  // The stored start is compared, not refreshed: a window still where the
  // admission counted is where `now` puts it, and one that moved on (or back,
  // with a clock stepped back) holds no places of this admission.
  core.window_table().with_lock([&](std::span<WindowState> windows) {
    for (WindowState& window : windows) {
      const std::uint64_t counted_in = aligned_start(window.length, decided_at);
      if (window.window_start == counted_in && aligned_start(window.length, now) == counted_in) apply(window, delta);
    }
    return true;
  });
}

}  // namespace quellgate::engine
