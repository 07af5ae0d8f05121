#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "engine/limiter_core.hpp"

namespace quellgate::engine {

struct RemainingEntry {
  std::string_view name;  // a static literal: a period name or "burst"
  std::uint64_t remaining;
};

// At most the four windows and "burst"; held inline so a report allocates nothing.
struct RemainingReport {
  std::array<RemainingEntry, 5> entries{};
  std::size_t size = 0;

  const RemainingEntry* begin() const noexcept { return entries.data(); }
  const RemainingEntry* end() const noexcept { return entries.data() + size; }
  std::optional<std::uint64_t> find(std::string_view name) const noexcept;
  void add(std::string_view name, std::uint64_t remaining) noexcept;
};

// Places left in each window, in period order, then the free burst permits
// when max_burst is set. A broken table reports only "burst".
RemainingReport report_remaining(const LimiterCore& core, std::chrono::nanoseconds now);

// Time until the first full window rolls over, never below 1 ms; nothing when
// no window is full (or the table is broken). Burst permits play no part: a
// free window with every permit held still gives nothing. The first rollover
// need not free every full window, so this is when to look again, not when
// admission is certain. Saturates at nanoseconds::max() for absurdly long
// windows.
std::optional<std::chrono::nanoseconds> compute_wait(const LimiterCore& core,
                                                     std::chrono::nanoseconds now);

// The same, inside a section that already holds the table's lock, for
// windows without room for `cost` places rather than full ones.
// Time from `now` to the end of the window of `length` seconds starting at
// `start` (whole seconds since the epoch); 0 once it has ended, and
// nanoseconds::max() for an end beyond what nanoseconds can hold, as a
// window of 2**40 seconds has.
std::chrono::nanoseconds until_window_end(std::uint64_t start, std::uint64_t length,
                                          std::chrono::nanoseconds now) noexcept;

std::optional<std::chrono::nanoseconds> wait_for_full_windows(std::span<WindowState> windows,
                                                              std::chrono::nanoseconds now,
                                                              std::uint64_t cost = 1) noexcept;

// Whether the window has room for `cost` more places.
inline bool has_room(const WindowState& window, std::uint64_t cost) noexcept {
  return window.count < window.limit && window.limit - window.count >= cost;
}

}  // namespace quellgate::engine
