#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

namespace quellgate::engine {

// One fixed window aligned to the Unix epoch: it covers the seconds
// [k * length, (k + 1) * length) and forgets its count when the next such
// interval begins.
struct WindowState {
  // Fixed at construction.
  std::string_view name;       // "second", "minute", "hour" or "day"; a static literal
  std::uint64_t limit = 1;     // at least 1
  std::uint64_t length = 1;    // whole seconds, at least 1

  // Guarded by the lock of the WindowTable that holds this record; touched
  // nowhere else, which is why plain integers suffice.
  std::uint64_t count = 0;
  std::uint64_t window_start = 0;  // whole seconds since the epoch; 0: not started
};

// Whole seconds of a wall-clock reading. A negative reading cannot come from
// the platform layer, but is treated as the epoch rather than wrapped.
std::uint64_t whole_seconds(std::chrono::nanoseconds now) noexcept;

// Start of the window of `length` seconds that contains `now`.
std::uint64_t aligned_start(std::uint64_t length, std::chrono::nanoseconds now) noexcept;

// Where a window stored as starting at `stored_start` stands at `now`.
struct WindowPosition {
  std::uint64_t start;
  bool keeps_count;
};

// Forward to the interval containing `now`, clearing the count. A stored
// start in the very next interval stays where it is with its count: the
// reading was taken before another caller's, which reached the lock first
// and moved the window on (a clock stepped back by less than a window acts
// the same). A stored start further ahead means the clock went back: the
// window moves back to now's interval with its count kept, which the next
// interval then clears, so the stall lasts one window at most. Moving back
// for a late reading would lose the counts of the later window when the next
// caller moved it forward again.
WindowPosition window_position(std::uint64_t length, std::uint64_t stored_start,
                               std::chrono::nanoseconds now) noexcept;

// window_position applied to the window. Call with the table lock held.
void refresh_window(WindowState& window, std::chrono::nanoseconds now) noexcept;

// Places left in the window: limit - count, never below 0.
std::uint64_t remaining_in(const WindowState& window) noexcept;

bool is_full(const WindowState& window) noexcept;

}  // namespace quellgate::engine
