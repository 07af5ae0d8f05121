#include "shared_memory/segment_lock.hpp"

#include <windows.h>

#include <algorithm>
#include <atomic>

#include "shared_memory/journal.hpp"
#include "shared_memory/wake.hpp"

namespace quellgate::shared_memory {
namespace {

// The first four lock bytes: the holder's process id. Relaxed: a hint that
// orders nothing; the mutex orders the cells.
std::atomic_ref<std::uint32_t> owner_hint(const layout::Layout& segment) noexcept {
  static_assert(layout::lock_bytes >= sizeof(std::uint32_t));
  return std::atomic_ref<std::uint32_t>(
      *reinterpret_cast<std::uint32_t*>(const_cast<unsigned char*>(segment.lock)));
}

HANDLE mutex_of(const Mapping& mapping) noexcept { return static_cast<HANDLE>(mapping.objects().lock); }

// The monotonic clock of deadlines: QueryPerformanceCounter's count in
// nanoseconds, as the executor reads it (and as libstdc++'s steady_clock
// does here, through winpthreads).
std::chrono::nanoseconds monotonic_now() noexcept {
  static const std::int64_t per_second = [] {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
  }();
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  return std::chrono::seconds(now.QuadPart / per_second) +
         std::chrono::nanoseconds(now.QuadPart % per_second * 1'000'000'000 / per_second);
}

}  // namespace

unsigned long milliseconds_until(std::chrono::nanoseconds monotonic_deadline) noexcept {
  const auto left = monotonic_deadline - monotonic_now();
  if (left <= std::chrono::nanoseconds::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<unsigned long>(std::min<std::int64_t>(ms, INFINITE - 1));
}

SegmentLock::SegmentLock(Mapping& mapping) noexcept : mapping_(mapping) {
  DWORD result = WaitForSingleObject(mutex_of(mapping_), 0);
  // A running holder lets go within a section of arithmetic: looking again
  // for about that long spares the caller its slow way, as on Linux. The
  // hint is read, not the mutex, so that lookers make no system call.
  for (int look = 0; result == WAIT_TIMEOUT && look < 64; ++look) {
    YieldProcessor();
    if (owner_hint(mapping_.segment()).load(std::memory_order_relaxed) == 0) {
      result = WaitForSingleObject(mutex_of(mapping_), 0);
    }
  }
  after_wait(result);
}

SegmentLock::SegmentLock(Mapping& mapping, std::chrono::nanoseconds monotonic_deadline) noexcept
    : mapping_(mapping) {
  after_wait(WaitForSingleObject(mutex_of(mapping_), milliseconds_until(monotonic_deadline)));
}

void SegmentLock::after_wait(unsigned long result) noexcept {
  switch (result) {
    case WAIT_OBJECT_0:
      break;
    case WAIT_ABANDONED:
      // The owner ended in its section: its journal completes the section
      // before anyone sees the cells. It may have been giving a permit back
      // and died before its wake; a wake too many only makes sleepers look.
      roll_forward(mapping_.segment(), mapping_.cell_count());
      wake_sleepers(mapping_);
      break;
    case WAIT_TIMEOUT:
      busy_ = true;
      return;
    default:  // WAIT_FAILED: the handle is not a mutex of ours, for good
      return;
  }
  held_ = true;
  owner_hint(mapping_.segment()).store(GetCurrentProcessId(), std::memory_order_relaxed);
}

void SegmentLock::release() noexcept {
  owner_hint(mapping_.segment()).store(0, std::memory_order_relaxed);
  ReleaseMutex(mutex_of(mapping_));
}

std::uint32_t lock_owner_process(const layout::Layout& segment) noexcept {
  return owner_hint(segment).load(std::memory_order_relaxed);
}

}  // namespace quellgate::shared_memory
