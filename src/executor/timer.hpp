#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace quellgate::executor {

// What a deadline becomes when now + duration does not fit: thirty years of
// 365 days ahead, far enough to mean "never" and still representable.
inline constexpr std::chrono::seconds kFarFutureDelay{946'080'000};
inline constexpr std::uint64_t kLastTick = UINT64_MAX - 2;

// now + duration, or now + thirty years when that overflows. A negative
// duration counts as zero.
std::chrono::nanoseconds deadline_after(std::chrono::nanoseconds now, std::chrono::nanoseconds duration);

// A sleep's place in the timer. It lives in the sleeping job's frame; the
// timer links to it only while it is filed.
struct TimerEntry {
  static constexpr std::size_t kNotFiled = SIZE_MAX;
  std::uint64_t tick = 0;
  std::size_t heap_slot = kNotFiled;  // guarded by the lock that guards the Timer
  bool filed() const { return heap_slot != kNotFiled; }
};

// Filed sleeps ordered by tick. Ticks are whole milliseconds since `start`.
// Pure bookkeeping: every call takes the time it should act at, and the
// caller provides the locking.
class Timer {
 public:
  explicit Timer(std::chrono::nanoseconds start) : start_(start) {}

  // The first tick at or after `deadline` (rounded up, clamped).
  std::uint64_t tick_for_deadline(std::chrono::nanoseconds deadline) const;
  // The tick `now` lies in (rounded down).
  std::uint64_t tick_at(std::chrono::nanoseconds now) const;
  // The monotonic instant a tick begins at, or nullopt when beyond the clock.
  std::optional<std::chrono::nanoseconds> instant_of(std::uint64_t tick) const;

  // A tick not later than the last processed one is already due: a sleep
  // for it completes without being filed.
  bool already_due(std::uint64_t tick) const { return tick <= last_processed_tick_; }
  std::uint64_t last_processed_tick() const { return last_processed_tick_; }

  // Precondition: !entry.filed() and !already_due(entry.tick).
  void file(TimerEntry& entry);
  // Removes a filed entry; does nothing for one that is not filed.
  void withdraw(TimerEntry& entry);

  std::optional<std::uint64_t> earliest_tick() const;
  std::size_t filed_count() const { return heap_.size(); }

  // Advances to the tick of `now` and hands every entry whose tick is not
  // later to `on_due`, earliest first, after unfiling it.
  template <class OnDue>
  std::size_t process(std::chrono::nanoseconds now, OnDue&& on_due) {
    const std::uint64_t current = tick_at(now);
    if (current > last_processed_tick_) last_processed_tick_ = current;
    std::size_t fired = 0;
    while (!heap_.empty() && heap_.front().tick <= last_processed_tick_) {
      TimerEntry& due = *heap_.front().entry;
      withdraw(due);
      on_due(due);
      ++fired;
    }
    return fired;
  }

 private:
  // A filed entry with its tick copied beside it, so that ordering the heap
  // reads one array and not a sleeping job's frame per comparison: a
  // rollover fires thousands of sleeps at once, all under the scheduler's lock.
  struct Slot {
    std::uint64_t tick;
    TimerEntry* entry;
  };

  void place(std::size_t slot, Slot filed);
  void sift_up(std::size_t slot);
  void sift_down(std::size_t slot);

  std::chrono::nanoseconds start_;
  std::uint64_t last_processed_tick_ = 0;
  // Binary min-heap on tick; each entry knows its slot so it can leave in
  // O(log n) when its job drops the sleep.
  std::vector<Slot> heap_;
};

}  // namespace quellgate::executor
