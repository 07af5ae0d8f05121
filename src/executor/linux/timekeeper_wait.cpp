#include "executor/timekeeper_wait.hpp"

#include <new>

#include "executor/monotonic_condition.hpp"

namespace quellgate::executor {

namespace {

static_assert(sizeof(MonotonicCondition) <= TimekeeperWait::kNativeBytes && alignof(MonotonicCondition) <= 8);

MonotonicCondition& condition(unsigned char* storage) noexcept {
  return *std::launder(reinterpret_cast<MonotonicCondition*>(storage));
}

}  // namespace

TimekeeperWait::TimekeeperWait() { new (native_) MonotonicCondition(); }

TimekeeperWait::~TimekeeperWait() { condition(native_).~MonotonicCondition(); }

void TimekeeperWait::wait(std::unique_lock<std::mutex>& lock) { condition(native_).wait(lock); }

void TimekeeperWait::wait_until(std::unique_lock<std::mutex>& lock, std::chrono::nanoseconds monotonic_deadline) {
  condition(native_).wait_until(lock, monotonic_deadline);
}

void TimekeeperWait::notify_one() { condition(native_).notify_one(); }

void TimekeeperWait::notify_all() { condition(native_).notify_all(); }

}  // namespace quellgate::executor
