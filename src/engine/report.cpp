#include "engine/report.hpp"

#include <algorithm>
#include <limits>
#include <span>

#include "engine/burst.hpp"
#include "engine/count_home.hpp"

namespace quellgate::engine {
namespace {

using std::chrono::nanoseconds;

constexpr nanoseconds min_wait = std::chrono::milliseconds(1);
constexpr std::uint64_t nanos_per_second = 1'000'000'000;

std::uint64_t saturating_sum(std::uint64_t a, std::uint64_t b) noexcept {
  return b > std::numeric_limits<std::uint64_t>::max() - a
             ? std::numeric_limits<std::uint64_t>::max()
             : a + b;
}

// Time from `now` to the whole second `end_secs`; 0 once it has passed.
nanoseconds time_until(std::uint64_t end_secs, nanoseconds now) noexcept {
  const std::uint64_t now_secs = whole_seconds(now);
  if (end_secs <= now_secs) return nanoseconds::zero();
  const std::uint64_t whole = end_secs - now_secs;
  constexpr auto max_whole = static_cast<std::uint64_t>(nanoseconds::max().count()) / nanos_per_second;
  if (whole > max_whole) return nanoseconds::max();
  const nanoseconds into_second =
      now > nanoseconds::zero() ? now % std::chrono::seconds(1) : nanoseconds::zero();
  return nanoseconds(static_cast<std::int64_t>(whole * nanos_per_second)) - into_second;
}

}  // namespace

nanoseconds until_window_end(std::uint64_t start, std::uint64_t length, nanoseconds now) noexcept {
  return time_until(saturating_sum(start, length), now);
}

namespace {

// The windows as configured, copied from the table, with their counts read
// from the home.
RemainingReport report_remaining_at_home(const LimiterCore& core, nanoseconds now) {
  std::array<WindowState, max_windows> copies{};
  const std::size_t size = core.window_table()
                               .with_lock([&copies](std::span<WindowState> windows) {
                                 std::copy(windows.begin(), windows.end(), copies.begin());
                                 return windows.size();
                               })
                               .value_or(0);
  const std::span<WindowState> windows(copies.data(), size);
  core.home()->read_windows(now, windows);
  RemainingReport report;
  for (const WindowState& window : windows) report.add(window.name, remaining_in(window));
  if (const auto burst = burst_remaining(core)) report.add("burst", *burst);
  return report;
}

}  // namespace

std::optional<nanoseconds> wait_for_full_windows(std::span<WindowState> windows, nanoseconds now,
                                                 std::uint64_t cost) noexcept {
  std::optional<nanoseconds> best;
  for (WindowState& window : windows) {
    refresh_window(window, now);
    if (has_room(window, cost)) continue;
    const nanoseconds left = time_until(saturating_sum(window.window_start, window.length), now);
    if (!best || left < *best) best = left;
  }
  if (!best) return std::nullopt;
  return std::max(*best, min_wait);
}

std::optional<std::uint64_t> RemainingReport::find(std::string_view name) const noexcept {
  const auto found = std::find_if(begin(), end(), [name](const RemainingEntry& entry) {
    return entry.name == name;
  });
  if (found == end()) return std::nullopt;
  return found->remaining;
}

void RemainingReport::add(std::string_view name, std::uint64_t remaining) noexcept {
  if (size < entries.size()) entries[size++] = RemainingEntry{name, remaining};
}

RemainingReport report_remaining(const LimiterCore& core, nanoseconds now) {
  if (core.home() != nullptr) [[unlikely]] return report_remaining_at_home(core, now);
  RemainingReport report;
  core.window_table().with_lock([&](std::span<WindowState> windows) {
    for (WindowState& window : windows) {
      refresh_window(window, now);
      report.add(window.name, remaining_in(window));
    }
    return true;
  });
  if (const auto burst = burst_remaining(core)) report.add("burst", *burst);
  return report;
}

std::optional<nanoseconds> compute_wait(const LimiterCore& core, nanoseconds now) {
  if (core.home() != nullptr) [[unlikely]] return core.home()->window_wait(now);
  const auto wait = core.window_table().with_lock(
      [now](std::span<WindowState> windows) { return wait_for_full_windows(windows, now); });
  return wait.value_or(std::nullopt);
}

}  // namespace quellgate::engine
