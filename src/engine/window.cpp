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

StoredWindow window_position(std::uint64_t length, StoredWindow stored, std::chrono::nanoseconds now) noexcept {
  // A never-started window (start 0) takes the same path: its count is 0, or,
  // with a clock at the epoch, belongs to the interval beginning at 0.
  const std::uint64_t start = aligned_start(length, now);
  if (stored.start == start) [[likely]] return stored;
  if (stored.newer_start == start && start != 0) return {start, stored.count, 0};
  if (stored.start < start) return {start, 0, 0};
  if (stored.start - start <= length) return stored;
  return {start, stored.count, stored.newer_start != 0 ? stored.newer_start : stored.start};
}

void refresh_window(WindowState& window, std::chrono::nanoseconds now) noexcept {
  const StoredWindow moved =
      window_position(window.length, {window.window_start, window.count, window.newer_start}, now);
  window.window_start = moved.start;
  window.count = moved.count;
  window.newer_start = moved.newer_start;
}

std::uint64_t remaining_in(const WindowState& window) noexcept {
  return is_full(window) ? 0 : window.limit - window.count;
}

bool is_full(const WindowState& window) noexcept {
  return window.count >= window.limit;
}

}  // namespace quellgate::engine
