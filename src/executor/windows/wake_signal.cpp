#include "executor/wake_signal.hpp"

#include "executor/clock.hpp"
#include "executor/windows/address_wait.hpp"
#include "executor/windows/console_interrupt.hpp"

namespace quellgate::executor {

void WakeSignal::wake() noexcept {
  // An OR, not a store: the interrupt count in the upper bits stays, so a
  // sleeper tells a wake from an interrupt by the bit alone.
  word_.fetch_or(kWoken, std::memory_order_release);
  WakeByAddressSingle(&word_);
}

WakeSignal::WaitEnd WakeSignal::wait_until(std::chrono::nanoseconds monotonic_deadline) noexcept {
  const windows::ConsoleInterruptWatch watch(word_);
  const std::uint32_t before = word_.load(std::memory_order_acquire);
  for (std::uint32_t seen = before;; seen = word_.load(std::memory_order_acquire)) {
    if ((seen & kWoken) != 0) return WaitEnd::woken;
    if (windows::ConsoleInterruptWatch::interrupted_since(before, seen)) return WaitEnd::signal;
    const DWORD timeout = windows::address_wait_timeout(monotonic_deadline);
    if (timeout == 0) return WaitEnd::deadline;
    windows::wait_while_equal(word_, seen, timeout);
  }
}

}  // namespace quellgate::executor
