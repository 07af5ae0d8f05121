#include "executor/timer.hpp"

#include <algorithm>

namespace quellgate::executor {

namespace {

using std::chrono::nanoseconds;
constexpr std::uint64_t kNanosPerTick = 1'000'000;

}  // namespace

nanoseconds deadline_after(nanoseconds now, nanoseconds duration) {
  if (duration < nanoseconds::zero()) duration = nanoseconds::zero();
  const bool overflows = now > nanoseconds::zero() && duration > nanoseconds::max() - now;
  if (overflows) return now + kFarFutureDelay;
  return now + duration;
}

std::uint64_t Timer::tick_for_deadline(nanoseconds deadline) const {
  if (deadline <= start_) return 0;
  // Unsigned arithmetic: the difference of two monotonic readings fits, and
  // adding the rounding term cannot wrap 64 bits.
  const auto elapsed = static_cast<std::uint64_t>((deadline - start_).count());
  return std::min((elapsed + kNanosPerTick - 1) / kNanosPerTick, kLastTick);
}

std::uint64_t Timer::tick_at(nanoseconds now) const {
  if (now <= start_) return 0;
  return std::min(static_cast<std::uint64_t>((now - start_).count()) / kNanosPerTick, kLastTick);
}

std::optional<nanoseconds> Timer::instant_of(std::uint64_t tick) const {
  const auto room = static_cast<std::uint64_t>((nanoseconds::max() - start_).count()) / kNanosPerTick;
  if (tick > room) return std::nullopt;
  return start_ + nanoseconds(static_cast<nanoseconds::rep>(tick * kNanosPerTick));
}

void Timer::file(TimerEntry& entry) {
  heap_.push_back({entry.tick, &entry});
  entry.heap_slot = heap_.size() - 1;
  sift_up(entry.heap_slot);
}

void Timer::withdraw(TimerEntry& entry) {
  if (!entry.filed()) return;
  const std::size_t slot = entry.heap_slot;
  entry.heap_slot = TimerEntry::kNotFiled;
  const Slot last = heap_.back();
  heap_.pop_back();
  if (last.entry == &entry) return;
  place(slot, last);
  sift_up(slot);
  sift_down(last.entry->heap_slot);
}

std::optional<std::uint64_t> Timer::earliest_tick() const {
  if (heap_.empty()) return std::nullopt;
  return heap_.front().tick;
}

void Timer::place(std::size_t slot, Slot filed) {
  heap_[slot] = filed;
  filed.entry->heap_slot = slot;
}

void Timer::sift_up(std::size_t slot) {
  const Slot moving = heap_[slot];
  while (slot > 0) {
    const std::size_t parent = (slot - 1) / 2;
    if (heap_[parent].tick <= moving.tick) break;
    place(slot, heap_[parent]);
    slot = parent;
  }
  place(slot, moving);
}

void Timer::sift_down(std::size_t slot) {
  const Slot moving = heap_[slot];
  for (;;) {
    std::size_t child = 2 * slot + 1;
    if (child >= heap_.size()) break;
    if (child + 1 < heap_.size() && heap_[child + 1].tick < heap_[child].tick) ++child;
    if (moving.tick <= heap_[child].tick) break;
    place(slot, heap_[child]);
    slot = child;
  }
  place(slot, moving);
}

}  // namespace quellgate::executor
