#pragma once

#include "shared_memory/layout.hpp"

namespace quellgate::shared_memory {

// Holds a segment's robust mutex for one section. Taking it over from a
// dead owner completes that owner's pending journal before the mutex is
// marked consistent, so a section sees the cells whole. A mutex that cannot
// be taken (ENOTRECOVERABLE, or bytes that are no mutex) leaves it not held.
//
// Never held across a sleep, a wait for the interpreter lock, a call out of
// this folder, or fork(): sections are arithmetic on the cells. No at-fork
// handler takes it, so a fork from another thread never inherits it.
class SegmentLock {
 public:
  explicit SegmentLock(layout::Layout& segment) noexcept;
  SegmentLock(const SegmentLock&) = delete;
  SegmentLock& operator=(const SegmentLock&) = delete;
  ~SegmentLock() { unlock(); }

  bool held() const noexcept { return held_; }
  void unlock() noexcept;

 private:
  layout::Layout& segment_;
  bool held_ = false;
};

// Makes the segment's mutex robust and shared between processes; run once,
// by the creator, before the segment is published.
int initialise_mutex(layout::Layout& segment) noexcept;

}  // namespace quellgate::shared_memory
