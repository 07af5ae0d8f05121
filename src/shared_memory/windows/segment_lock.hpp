#pragma once

#include <chrono>
#include <cstdint>

#include "shared_memory/layout.hpp"
#include "shared_memory/mapping.hpp"

namespace quellgate::shared_memory {

// Holds a segment's lock for one section: a named kernel mutex beside the
// segment (Mapping::objects().lock), as no Windows mutex can live in shared
// bytes. A mutex whose owning thread ended without letting it go (its
// process killed by TerminateProcess, or the thread ended by _endthreadex)
// comes back WAIT_ABANDONED, the part EOWNERDEAD plays on Linux: the dead
// owner's pending journal is completed before the section runs.
//
// The plain constructor never waits: a mutex another thread holds is
// busy(), and the caller does nothing with the cells; whoever can wait does
// so with the deadline constructor, in slices it chooses, and then tries
// again (see the Linux class for why).
//
// Never held across a sleep, a blocking system call other than the mutex's
// own, or a wait for the interpreter lock: sections are arithmetic on the
// cells, so the interpreter's ending of a thread at exit never finds one in
// a section. A Windows mutex may be taken again by the thread that holds
// it; no section takes it twice.
//
// Each take and release is a system call: the fast path stays out of line,
// where the Linux one is inline.
class SegmentLock {
 public:
  explicit SegmentLock(Mapping& mapping) noexcept;
  // Waits until the monotonic deadline (QueryPerformanceCounter's count in
  // nanoseconds, the executor's monotonic clock); busy() when it passed first.
  SegmentLock(Mapping& mapping, std::chrono::nanoseconds monotonic_deadline) noexcept;
  SegmentLock(const SegmentLock&) = delete;
  SegmentLock& operator=(const SegmentLock&) = delete;
  ~SegmentLock() { unlock(); }

  bool held() const noexcept { return held_; }
  // Not held because another thread holds it; otherwise not held is for good.
  bool busy() const noexcept { return busy_; }
  void unlock() noexcept {
    if (!held_) return;
    held_ = false;
    release();
  }

 private:
  // After a wait that ended with `result` (a WAIT_* value).
  void after_wait(unsigned long result) noexcept;
  void release() noexcept;

  Mapping& mapping_;
  bool held_ = false;
  bool busy_ = false;
};

// The process that holds the lock now, as its holder noted it in the lock
// bytes; 0 when free. Only a hint for messages: a holder killed in its
// section leaves it behind, and any process of the user can overwrite it.
std::uint32_t lock_owner_process(const layout::Layout& segment) noexcept;

// Milliseconds from now until a monotonic `deadline`, rounded up, for a
// Win32 wait; 0 when it has passed, and never INFINITE.
unsigned long milliseconds_until(std::chrono::nanoseconds monotonic_deadline) noexcept;

}  // namespace quellgate::shared_memory
