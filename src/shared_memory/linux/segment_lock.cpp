#include "shared_memory/segment_lock.hpp"

#include <linux/futex.h>

#include <atomic>
#include <cerrno>
#include <ctime>

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
int kind_of_robust_shared_mutex() noexcept {
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
#endif

}  // namespace

#ifdef __GLIBC__
const int robust_shared_mutex_kind = kind_of_robust_shared_mutex();
#endif

bool SegmentLock::take_over(int status) noexcept {
  if (status != EOWNERDEAD) return false;
  roll_forward(segment_, cell_count_);
  if (pthread_mutex_consistent(&mutex_of(segment_)) != 0) {
    pthread_mutex_unlock(&mutex_of(segment_));
    return false;
  }
  // The dead owner may have been giving a permit back, and died before its
  // wake; a wake too many only makes sleepers look again.
  wake_sleepers(mapping_);
  return true;
}

void SegmentLock::after_failed_try(int status) noexcept {
  // A running holder lets go within a section of arithmetic, well under a
  // microsecond: looking again for about that long spares the caller its
  // slow way (a thread's wait, the loop's hand-off to a job) for all but a
  // holder that is preempted or stopped. The word is read before each try,
  // so that waiting callers do not pull its line from the holder.
  for (int look = 0; status == EBUSY && look < 64; ++look) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
    if (lock_owner_thread(segment_) == 0) status = pthread_mutex_trylock(&mutex_of(segment_));
  }
  if (status == 0) {
    held_ = true;
    return;
  }
  busy_ = status == EBUSY;
  held_ = !busy_ && take_over(status);
}

SegmentLock::SegmentLock(Mapping& mapping, std::chrono::nanoseconds monotonic_deadline) noexcept
    : mapping_(mapping), segment_(mapping.segment()), cell_count_(mapping.cell_count()) {
  if (!has_robust_shared_kind(mutex_of(segment_))) return;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(monotonic_deadline);
  const timespec until{static_cast<time_t>(seconds.count()),
                       static_cast<long>((monotonic_deadline - seconds).count())};
  const int status = pthread_mutex_clocklock(&mutex_of(segment_), CLOCK_MONOTONIC, &until);
  if (status == 0) {
    held_ = true;
    return;
  }
  busy_ = status == ETIMEDOUT;
  held_ = !busy_ && take_over(status);
}

pid_t lock_owner_thread(layout::Layout& segment) noexcept {
#ifdef __GLIBC__
  // Relaxed: a hint for a message; the owner may change just after.
  const auto word = std::atomic_ref<int>(mutex_of(segment).__data.__lock)
                        .load(std::memory_order_relaxed);
  return static_cast<pid_t>(static_cast<unsigned>(word) & FUTEX_TID_MASK);
#else
  static_cast<void>(segment);
  return 0;
#endif
}

int initialise_mutex(layout::Layout& segment) noexcept {
  pthread_mutexattr_t attributes;
  int status = 0;
  if (robust_shared_attributes(attributes, status) == nullptr) return status;
  if (status == 0) status = pthread_mutex_init(&mutex_of(segment), &attributes);
  pthread_mutexattr_destroy(&attributes);
  return status;
}

}  // namespace quellgate::shared_memory
