#include "executor/monotonic_condition.hpp"

#include <time.h>

namespace quellgate::executor {

MonotonicCondition::MonotonicCondition() {
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(&condition_, &attributes);
  pthread_condattr_destroy(&attributes);
}

MonotonicCondition::~MonotonicCondition() { pthread_cond_destroy(&condition_); }

// std::mutex is a pthread mutex on this platform, so its native handle can be
// waited on directly.
void MonotonicCondition::wait(std::unique_lock<std::mutex>& lock) {
  pthread_cond_wait(&condition_, lock.mutex()->native_handle());
}

void MonotonicCondition::wait_until(std::unique_lock<std::mutex>& lock, std::chrono::nanoseconds monotonic_deadline) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(monotonic_deadline);
  const timespec deadline{static_cast<time_t>(seconds.count()),
                          static_cast<long>((monotonic_deadline - seconds).count())};
  pthread_cond_timedwait(&condition_, lock.mutex()->native_handle(), &deadline);
}

void MonotonicCondition::notify_one() { pthread_cond_signal(&condition_); }

void MonotonicCondition::notify_all() { pthread_cond_broadcast(&condition_); }

}  // namespace quellgate::executor
