#include "executor/thread_sleep.hpp"

#include <windows.h>

#include "executor/clock.hpp"

namespace quellgate::executor {

namespace {

using std::chrono::nanoseconds;

// Not in every SDK's headers yet (Windows 10 1803 and later).
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

nanoseconds saturating_add(nanoseconds a, nanoseconds b) {
  if (b > nanoseconds::max() - a) return nanoseconds::max();
  return a + b;
}

// This thread's high-resolution timer, made at its first sleep and closed
// when it ends; null when the system refuses one (before Windows 10 1803,
// and some versions of Wine), which sends the sleeps to the fallback.
class ThreadTimer {
 public:
  ThreadTimer()
      : handle_(CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS)) {}
  ~ThreadTimer() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  ThreadTimer(const ThreadTimer&) = delete;
  ThreadTimer& operator=(const ThreadTimer&) = delete;
  HANDLE get() const noexcept { return handle_; }

 private:
  HANDLE handle_;
};

// Relative due times in 100-ns units, rounded up, so that no single wait is
// shorter than what is left; the loop measures and goes again if the timer
// still fired early by the monotonic clock's reckoning.
bool sleep_until_monotonic(nanoseconds deadline) {
  thread_local ThreadTimer timer;
  if (timer.get() == nullptr) return false;
  for (nanoseconds now = monotonic_now(); now < deadline; now = monotonic_now()) {
    const long long intervals = (deadline - now).count() / 100 + 1;
    LARGE_INTEGER due;
    due.QuadPart = -intervals;
    if (!SetWaitableTimer(timer.get(), &due, 0, nullptr, nullptr, FALSE)) return false;
    if (WaitForSingleObject(timer.get(), INFINITE) != WAIT_OBJECT_0) return false;
  }
  return true;
}

}  // namespace

void sleep_whole_millis_rounded_up(nanoseconds duration) {
  const std::uint64_t millis = whole_millis_rounded_up(duration);
  const nanoseconds deadline = saturating_add(
      monotonic_now(), millis > static_cast<std::uint64_t>(nanoseconds::max().count() / 1'000'000)
                           ? nanoseconds::max()
                           : nanoseconds(std::chrono::milliseconds(millis)));
  // Sleep counts in the system's timer ticks and may end a little before the
  // performance counter agrees; measure what is left and go again.
  for (nanoseconds now = monotonic_now(); now < deadline; now = monotonic_now()) {
    const std::uint64_t left = whole_millis_rounded_up(deadline - now);
    Sleep(left >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(left));
  }
}

void thread_sleep(nanoseconds duration) {
  if (duration <= nanoseconds::zero()) {
    SwitchToThread();
    return;
  }
  const nanoseconds deadline = saturating_add(monotonic_now(), duration);
  if (sleep_until_monotonic(deadline)) return;
  sleep_whole_millis_rounded_up(deadline - monotonic_now());
}

}  // namespace quellgate::executor
