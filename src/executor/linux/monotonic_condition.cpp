#include "executor/monotonic_condition.hpp"

#include <pthread.h>
#include <time.h>

#include <new>

namespace quellgate::executor {

namespace {

static_assert(sizeof(pthread_cond_t) <= MonotonicCondition::kNativeBytes && alignof(pthread_cond_t) <= 8);

pthread_cond_t* native(unsigned char* storage) noexcept { return std::launder(reinterpret_cast<pthread_cond_t*>(storage)); }

}  // namespace

MonotonicCondition::MonotonicCondition() {
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(new (native_) pthread_cond_t, &attributes);
  pthread_condattr_destroy(&attributes);
}

MonotonicCondition::~MonotonicCondition() { pthread_cond_destroy(native(native_)); }

// std::mutex is a pthread mutex on this platform, so its native handle can be
// waited on directly.
void MonotonicCondition::wait(std::unique_lock<std::mutex>& lock) {
  pthread_cond_wait(native(native_), lock.mutex()->native_handle());
}

void MonotonicCondition::wait_until(std::unique_lock<std::mutex>& lock, std::chrono::nanoseconds monotonic_deadline) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(monotonic_deadline);
  const timespec deadline{static_cast<time_t>(seconds.count()),
                          static_cast<long>((monotonic_deadline - seconds).count())};
  pthread_cond_timedwait(native(native_), lock.mutex()->native_handle(), &deadline);
}

void MonotonicCondition::notify_one() { pthread_cond_signal(native(native_)); }

void MonotonicCondition::notify_all() { pthread_cond_broadcast(native(native_)); }

}  // namespace quellgate::executor
