#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>

namespace quellgate::executor {

// Lets any thread end one thread's sleep early. The sleeping thread hands it
// out and sleeps on it until a deadline; a wake before or during that sleep
// ends it, and so does every later sleep on it. One address-wait word (a
// futex, WaitOnAddress), so a wake costs one store and one system call, and
// an unwoken sleep no polling.
class WakeSignal {
 public:
  enum class WaitEnd {
    woken,     // wake() was called
    deadline,  // the deadline passed
    signal,    // a signal handler ran on this thread (EINTR), or on Windows
               // the console was interrupted (Ctrl+C, Ctrl+Break)
  };

  WakeSignal() = default;
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;

  // Callable from any thread, as long as the signal is alive.
  void wake() noexcept;

  bool woken() const noexcept { return (word_.load(std::memory_order_acquire) & kWoken) != 0; }

  // Sleeps until woken, until `monotonic_deadline`, or until a signal
  // handler runs on this thread, whichever comes first. Returns at once when
  // already woken.
  WaitEnd wait_until(std::chrono::nanoseconds monotonic_deadline) noexcept;

 private:
  // Bit 0 (kWoken): woken. Where no signal can cut a wait short (Windows),
  // the bits above it count interrupts from the terminal that reached this
  // signal's wait. Release on wake, acquire on reading: whatever the waker
  // did before waking is seen by the woken thread.
  static constexpr std::uint32_t kWoken = 1;
  std::atomic<std::uint32_t> word_{0};
};

}  // namespace quellgate::executor
