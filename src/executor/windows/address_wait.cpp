#include "executor/windows/address_wait.hpp"

#include "executor/clock.hpp"
#include "executor/thread_sleep.hpp"

namespace quellgate::executor::windows {

DWORD address_wait_timeout(std::chrono::nanoseconds monotonic_deadline) noexcept {
  const std::chrono::nanoseconds now = monotonic_now();
  if (monotonic_deadline <= now) return 0;
  const std::uint64_t millis = whole_millis_rounded_up(monotonic_deadline - now);
  // A wait longer than INFINITE - 1 ms (49 days) ends early and is renewed.
  return millis >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(millis);
}

}  // namespace quellgate::executor::windows
