#include "executor/wake_signal.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace quellgate::executor {

namespace {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "the futex word is the atomic's own storage");

std::uint32_t* futex_word(std::atomic<std::uint32_t>& word) noexcept {
  return reinterpret_cast<std::uint32_t*>(&word);
}

timespec to_timespec(std::chrono::nanoseconds instant) noexcept {
  if (instant < std::chrono::nanoseconds::zero()) instant = std::chrono::nanoseconds::zero();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(instant);
  return timespec{static_cast<time_t>(seconds.count()), static_cast<long>((instant - seconds).count())};
}

}  // namespace

void WakeSignal::wake() noexcept {
  word_.store(kWoken, std::memory_order_release);
  syscall(SYS_futex, futex_word(word_), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1, nullptr, nullptr, 0);
}

WakeSignal::WaitEnd WakeSignal::wait_until(std::chrono::nanoseconds monotonic_deadline) noexcept {
  // FUTEX_WAIT_BITSET takes an absolute deadline on CLOCK_MONOTONIC, so a
  // retry after a spurious return needs no recomputed timeout.
  const timespec deadline = to_timespec(monotonic_deadline);
  for (;;) {
    if (woken()) return WaitEnd::woken;
    const long rc = syscall(SYS_futex, futex_word(word_), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, 0, &deadline,
                            nullptr, FUTEX_BITSET_MATCH_ANY);
    if (rc == 0 || errno == EAGAIN) continue;  // woken, or the word changed first: look again
    if (woken()) return WaitEnd::woken;
    if (errno == EINTR) return WaitEnd::signal;
    // ETIMEDOUT; anything else would be a programming error, and ending the
    // sleep keeps the caller's own deadline the worst case.
    return WaitEnd::deadline;
  }
}

}  // namespace quellgate::executor
