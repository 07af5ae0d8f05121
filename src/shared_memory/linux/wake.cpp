#include "shared_memory/wake.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>

namespace quellgate::shared_memory {
namespace {

std::atomic_ref<std::uint32_t> word_of(layout::Layout& segment) noexcept {
  return std::atomic_ref<std::uint32_t>(segment.wake_word);
}

std::atomic_ref<std::uint32_t> sleepers_of(layout::Layout& segment) noexcept {
  return std::atomic_ref<std::uint32_t>(segment.sleepers);
}

timespec to_timespec(std::chrono::nanoseconds deadline) noexcept {
  constexpr std::int64_t per_second = 1'000'000'000;
  const std::int64_t ns = std::max<std::int64_t>(deadline.count(), 0);
  return timespec{static_cast<time_t>(ns / per_second), static_cast<long>(ns % per_second)};
}

}  // namespace

// Acquire: what a release did before its bump (the permit it gave back) is
// then visible, though the attempt that follows takes the lock anyway.
std::uint32_t load_wake_word(const Mapping& mapping) noexcept {
  return word_of(mapping.segment()).load(std::memory_order_acquire);
}

void wake_sleepers(const Mapping& mapping) noexcept {
  word_of(mapping.segment()).fetch_add(1, std::memory_order_seq_cst);
  pass_wake_on(mapping);
}

void pass_wake_on(const Mapping& mapping) noexcept {
  layout::Layout& segment = mapping.segment();
  // Sequentially consistent: the second half of the pairing described in wake.hpp.
  if (sleepers_of(segment).load(std::memory_order_seq_cst) == 0) return;
  ::syscall(SYS_futex, &segment.wake_word, FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

Segment::WaitEnd sleep_on_wake_word(const Mapping& mapping, std::uint32_t seen,
                                    std::chrono::nanoseconds monotonic_deadline) noexcept {
  layout::Layout& segment = mapping.segment();
  sleepers_of(segment).fetch_add(1, std::memory_order_seq_cst);
  Segment::WaitEnd end = Segment::WaitEnd::changed;
  if (word_of(segment).load(std::memory_order_seq_cst) == seen) {
    // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline, so a
    // wait resumed after a signal would not stretch it.
    const timespec deadline = to_timespec(monotonic_deadline);
    if (::syscall(SYS_futex, &segment.wake_word, FUTEX_WAIT_BITSET, seen, &deadline, nullptr,
                  FUTEX_BITSET_MATCH_ANY) == 0) {
      end = Segment::WaitEnd::woken;
    } else if (errno == ETIMEDOUT) {
      end = Segment::WaitEnd::timed_out;
    } else if (errno == EINTR) {
      end = Segment::WaitEnd::signal;
    }
  }
  // Relaxed: a release that still counts this sleeper only makes a wake call too many.
  sleepers_of(segment).fetch_sub(1, std::memory_order_relaxed);
  return end;
}

}  // namespace quellgate::shared_memory
