#include "shared_memory/segment_lock.hpp"

#include <atomic>
#include <cerrno>

#include "shared_memory/journal.hpp"
#include "shared_memory/wake.hpp"

namespace quellgate::shared_memory {
namespace {

pthread_mutexattr_t* robust_shared_attributes(pthread_mutexattr_t& attributes, int& status) noexcept {
  status = pthread_mutexattr_init(&attributes);
  if (status != 0) return nullptr;
  status = pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  if (status == 0) status = pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  if (status == 0) status = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_NORMAL);
  return &attributes;
}

#ifdef __GLIBC__
// glibc reads the mutex's kind from the mutex at every lock, and asserts on
// some states of some kinds (a plain mutex found with an owner aborts the
// process). A kind that is not the one initialise_mutex leaves is garbage,
// refused before glibc acts on it. A writer racing this check can still
// get past it; one that wrote the segment earlier cannot.
int robust_shared_kind() noexcept {
  pthread_mutex_t probe;
  pthread_mutexattr_t attributes;
  int status = 0;
  if (robust_shared_attributes(attributes, status) == nullptr) return -1;
  if (status == 0) status = pthread_mutex_init(&probe, &attributes);
  pthread_mutexattr_destroy(&attributes);
  if (status != 0) return -1;
  const int kind = probe.__data.__kind;
  pthread_mutex_destroy(&probe);
  return kind;
}

const int expected_kind = robust_shared_kind();

bool is_robust_shared(pthread_mutex_t& mutex) noexcept {
  // Relaxed: the kind is written once, before the segment is published.
  return std::atomic_ref<int>(mutex.__data.__kind).load(std::memory_order_relaxed) == expected_kind;
}
#else
bool is_robust_shared(pthread_mutex_t&) noexcept { return true; }
#endif

}  // namespace

SegmentLock::SegmentLock(layout::Layout& segment) noexcept : segment_(segment) {
  if (!is_robust_shared(segment_.mutex)) [[unlikely]] return;
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
  int status = 0;
  if (robust_shared_attributes(attributes, status) == nullptr) return status;
  if (status == 0) status = pthread_mutex_init(&segment.mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  return status;
}

}  // namespace quellgate::shared_memory
