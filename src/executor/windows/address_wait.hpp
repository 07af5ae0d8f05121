#pragma once
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>

namespace quellgate::executor::windows {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "the address-wait word is the atomic's own storage");

// WaitOnAddress's timeout for a wait to `monotonic_deadline`: whole
// milliseconds rounded up, so the wait never ends before the deadline by its
// own measure; INFINITE is never produced by a deadline that can pass.
DWORD address_wait_timeout(std::chrono::nanoseconds monotonic_deadline) noexcept;

// Sleeps while `word` holds `expected`, at most `timeout`; may return early
// or spuriously: the caller looks again.
inline void wait_while_equal(std::atomic<std::uint32_t>& word, std::uint32_t expected, DWORD timeout) noexcept {
  WaitOnAddress(&word, &expected, sizeof expected, timeout);
}

}  // namespace quellgate::executor::windows
