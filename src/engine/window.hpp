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
  std::uint64_t newer_start = 0;   // see StoredWindow
};

// Whole seconds of a wall-clock reading. A negative reading cannot come from
// the platform layer, but is treated as the epoch rather than wrapped.
std::uint64_t whole_seconds(std::chrono::nanoseconds now) noexcept;

// Start of the window of `length` seconds that contains `now`.
std::uint64_t aligned_start(std::uint64_t length, std::chrono::nanoseconds now) noexcept;

// A window as the in-process table and the shared segment both keep it.
// No member initialisers: an admission's array of them is filled, not zeroed
// first.
struct StoredWindow {
  std::uint64_t start;
  std::uint64_t count;
  // While a reading more than one window behind holds the window moved back
  // to its interval: the start it was moved back from, which the count still
  // belongs to; 0 otherwise.
  std::uint64_t newer_start;
  friend bool operator==(const StoredWindow&, const StoredWindow&) = default;
};

// Where a stored window stands at `now`.
//
// Forward to the interval containing `now`, clearing the count. A stored
// start in the very next interval stays where it is with its count: the
// reading was taken before another caller's, which reached the lock first
// and moved the window on (a clock stepped back by less than a window acts
// the same).
//
// A stored start further ahead is a clock that went back, or a reading that
// is simply old: one taken before a stall longer than a window, or by a
// process whose clock runs behind the others'. Either way the window moves
// back to now's interval keeping its count, so a clock really stepped back
// refuses for one window at most, and the window remembers where it came
// from. A reading in that interval again returns the window there with its
// count, which has kept what the old readings counted meanwhile, instead of
// clearing it: an old reading never clears the count of a later window. Any
// other forward move forgets it, as a clock stepped back then rolls over.
StoredWindow window_position(std::uint64_t length, StoredWindow stored, std::chrono::nanoseconds now) noexcept;

// window_position applied to the window. Call with the table lock held.
void refresh_window(WindowState& window, std::chrono::nanoseconds now) noexcept;

// Places left in the window: limit - count, never below 0.
std::uint64_t remaining_in(const WindowState& window) noexcept;

bool is_full(const WindowState& window) noexcept;

}  // namespace quellgate::engine
