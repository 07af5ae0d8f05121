#include "shared_memory/segment_lock.hpp"

#include <cerrno>

#include "shared_memory/journal.hpp"
#include "shared_memory/wake.hpp"

namespace quellgate::shared_memory {

SegmentLock::SegmentLock(layout::Layout& segment) noexcept : segment_(segment) {
  const int status = pthread_mutex_lock(&segment_.mutex);
  if (status == 0) [[likely]] {
    held_ = true;
    return;
  }
  if (status != EOWNERDEAD) return;
  roll_forward(segment_);
  if (pthread_mutex_consistent(&segment_.mutex) == 0) {
    held_ = true;
    // The dead owner may have been giving a permit back, and died before
    // its wake; a wake too many only makes sleepers look again.
    wake_sleepers(segment_);
    return;
  }
  pthread_mutex_unlock(&segment_.mutex);
}

void SegmentLock::unlock() noexcept {
  if (!held_) return;
  held_ = false;
  pthread_mutex_unlock(&segment_.mutex);
}

int initialise_mutex(layout::Layout& segment) noexcept {
  pthread_mutexattr_t attributes;
  int status = pthread_mutexattr_init(&attributes);
  if (status != 0) return status;
  status = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  if (status == 0) status = pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  if (status == 0) status = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_NORMAL);
  if (status == 0) status = pthread_mutex_init(&segment.mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  return status;
}

}  // namespace quellgate::shared_memory
