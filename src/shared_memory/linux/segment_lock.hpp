#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <chrono>

#include "shared_memory/layout.hpp"
#include "shared_memory/mapping.hpp"

namespace quellgate::shared_memory {

static_assert(sizeof(pthread_mutex_t) <= layout::lock_bytes && alignof(pthread_mutex_t) <= 64);

// The robust mutex in the segment's lock bytes, put there by initialise_mutex.
inline pthread_mutex_t& mutex_of(layout::Layout& segment) noexcept {
  return *reinterpret_cast<pthread_mutex_t*>(segment.lock);
}

// glibc reads the mutex's kind from the mutex at every lock, and asserts on
// some states of some kinds (a plain mutex found with an owner aborts the
// process). A kind other than the one initialise_mutex leaves is garbage,
// refused before glibc acts on it. A writer racing this check can still
// get past it; one that wrote the segment earlier cannot.
#ifdef __GLIBC__
extern const int robust_shared_mutex_kind;
inline bool has_robust_shared_kind(pthread_mutex_t& mutex) noexcept {
  // Relaxed: the kind is written once, before the segment is published.
  return std::atomic_ref<int>(mutex.__data.__kind).load(std::memory_order_relaxed) == robust_shared_mutex_kind;
}
#else
inline bool has_robust_shared_kind(pthread_mutex_t&) noexcept { return true; }
#endif

// Holds a segment's robust mutex for one section. Taking it over from a
// dead owner completes that owner's pending journal before the mutex is
// marked consistent, so a section sees the cells whole. A mutex that cannot
// be taken (ENOTRECOVERABLE, or bytes that are no mutex) leaves it not held.
//
// The plain constructor never waits: a mutex another thread holds, in this
// process or another, is busy(), and the caller does nothing with the cells.
// Its holder may be stopped (SIGSTOP, a debugger, a frozen cgroup) with no
// end in sight, and the caller may hold the interpreter lock or be an event
// loop's thread; whoever can wait does so with the deadline constructor, in
// slices it chooses, and then tries again.
//
// Never held across a sleep, a blocking system call (the /proc probes of
// dead processes run with it released), a wait for the interpreter lock,
// or fork(): sections are arithmetic on the cells. No at-fork handler takes
// it, so a fork from another thread never inherits it.
class SegmentLock {
 public:
  // Inline, with the unlock: an out-of-line call each cost a tenth of an
  // admission's own instructions. A try-lock costs what a lock does when
  // the mutex is free.
  explicit SegmentLock(Mapping& mapping) noexcept : mapping_(mapping), segment_(mapping.segment()), cell_count_(mapping.cell_count()) {
    if (!has_robust_shared_kind(mutex_of(segment_))) [[unlikely]] return;
    const int status = pthread_mutex_trylock(&mutex_of(segment_));
    if (status == 0) [[likely]] {
      held_ = true;
      return;
    }
    after_failed_try(status);
  }
  // Waits for the mutex until the CLOCK_MONOTONIC deadline; busy() when it
  // passed first. Signals do not end this wait: glibc resumes it.
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
    pthread_mutex_unlock(&mutex_of(segment_));
  }

 private:
  // After a lock that failed with `status`: true when the mutex is now held
  // and consistent (its dead owner's journal completed).
  bool take_over(int status) noexcept;
  // After a try that failed with `status`: a few more tries when it was
  // busy, then held, busy, or not to be had.
  void after_failed_try(int status) noexcept;

  Mapping& mapping_;
  layout::Layout& segment_;  // mapping_'s
  std::size_t cell_count_;  // the mapping's cells, fixed and keyed, for the roll-forward
  bool held_ = false;
  bool busy_ = false;
};

// The thread that holds the mutex now, as the robust-futex protocol writes
// its id into the lock word; 0 when free, or when the word cannot be read.
pid_t lock_owner_thread(layout::Layout& segment) noexcept;

// Makes the segment's mutex robust and shared between processes; run once,
// by the creator, before the segment is published.
int initialise_mutex(layout::Layout& segment) noexcept;

}  // namespace quellgate::shared_memory
