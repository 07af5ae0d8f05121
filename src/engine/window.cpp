#include "engine/window.hpp"

#include <algorithm>

namespace quellgate::engine {

std::uint64_t whole_seconds(std::chrono::nanoseconds now) noexcept {
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(now).count();
  return static_cast<std::uint64_t>(std::max<std::chrono::seconds::rep>(secs, 0));
}

std::uint64_t aligned_start(std::uint64_t length, std::chrono::nanoseconds now) noexcept {
  const std::uint64_t now_secs = whole_seconds(now);
  return now_secs - now_secs % length;
}

void refresh_window(WindowState& window, std::chrono::nanoseconds now) noexcept {
  // A never-started window (start 0) takes the same path: its count is 0, or,
  // with a clock at the epoch, belongs to the interval beginning at 0.
  const std::uint64_t start = aligned_start(window.length, now);
  if (window.window_start != start) {
    // A clock stepped back keeps the count, since what it counted happened,
    // but moves it to the window of now, so that it blocks for at most one
    // window's length and not until the clock catches up.
    if (window.window_start < start) window.count = 0;
    window.window_start = start;
  }
}

std::uint64_t remaining_in(const WindowState& window) noexcept {
  return is_full(window) ? 0 : window.limit - window.count;
}

bool is_full(const WindowState& window) noexcept {
  return window.count >= window.limit;
}

}  // namespace quellgate::engine
