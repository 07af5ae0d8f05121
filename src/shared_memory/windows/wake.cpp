#include "shared_memory/wake.hpp"

#include <windows.h>

#include <atomic>

#include "shared_memory/segment_lock.hpp"

namespace quellgate::shared_memory {
namespace {

std::atomic_ref<std::uint32_t> word_of(layout::Layout& segment) noexcept {
  return std::atomic_ref<std::uint32_t>(segment.wake_word);
}

std::atomic_ref<std::uint32_t> sleepers_of(layout::Layout& segment) noexcept {
  return std::atomic_ref<std::uint32_t>(segment.sleepers);
}

HANDLE semaphore_of(const Mapping& mapping) noexcept { return static_cast<HANDLE>(mapping.objects().wake); }

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

// One unit per wake, where an event would merge two wakes that come before
// either sleeper waits. A unit left by a sleeper that timed out meanwhile
// wakes a later sleeper early, which then looks and sleeps again; the
// semaphore's maximum (see open_mapping.cpp) bounds how many pile up.
void pass_wake_on(const Mapping& mapping) noexcept {
  // Sequentially consistent: the second half of the pairing described in wake.hpp.
  if (sleepers_of(mapping.segment()).load(std::memory_order_seq_cst) == 0) return;
  ReleaseSemaphore(semaphore_of(mapping), 1, nullptr);
}

// A Windows wait ends for no signal, so this never returns WaitEnd::signal:
// callers wait in slices and look for Ctrl+C between them.
Segment::WaitEnd sleep_on_wake_word(const Mapping& mapping, std::uint32_t seen,
                                    std::chrono::nanoseconds monotonic_deadline) noexcept {
  layout::Layout& segment = mapping.segment();
  sleepers_of(segment).fetch_add(1, std::memory_order_seq_cst);
  Segment::WaitEnd end = Segment::WaitEnd::changed;
  if (word_of(segment).load(std::memory_order_seq_cst) == seen) {
    const DWORD wait = milliseconds_until(monotonic_deadline);
    const DWORD result = WaitForSingleObject(semaphore_of(mapping), wait);
    // A failed wait (no semaphore of ours) sleeps out the time all the
    // same, so that a caller looping on it does not spin.
    if (result == WAIT_FAILED) Sleep(wait);
    end = result == WAIT_OBJECT_0 ? Segment::WaitEnd::woken : Segment::WaitEnd::timed_out;
  }
  // Relaxed: a release that still counts this sleeper only makes a wake call too many.
  sleepers_of(segment).fetch_sub(1, std::memory_order_relaxed);
  return end;
}

}  // namespace quellgate::shared_memory
