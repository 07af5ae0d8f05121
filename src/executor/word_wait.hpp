#pragma once
#include <atomic>
#include <cstdint>

namespace quellgate::executor {

// The OS's address-wait primitive on a 32-bit word of this process (a futex,
// WaitOnAddress). wait_on_word sleeps while `word` holds `expected`; it may
// return spuriously, so the caller looks again.
void wait_on_word(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept;
void wake_one_on_word(std::atomic<std::uint32_t>& word) noexcept;

// A mutual-exclusion lock on one word: constant-initialised and trivially
// destructible, so that a process-wide once-cell holding it needs no static
// constructor or destructor on any OS (std::mutex has both where it is a
// winpthreads object). Uncontended, lock and unlock are one atomic each.
class WordLock {
 public:
  constexpr WordLock() noexcept = default;
  WordLock(const WordLock&) = delete;
  WordLock& operator=(const WordLock&) = delete;

  void lock() noexcept {
    std::uint32_t unlocked = kUnlocked;
    // Acquire on taking it: the holder sees what the previous one wrote.
    if (state_.compare_exchange_strong(unlocked, kLocked, std::memory_order_acquire, std::memory_order_relaxed)) return;
    lock_contended();
  }
  void unlock() noexcept {
    // Release on letting go: the next holder sees what this one wrote.
    if (state_.exchange(kUnlocked, std::memory_order_release) == kContended) wake_one_on_word(state_);
  }

 private:
  static constexpr std::uint32_t kUnlocked = 0, kLocked = 1, kContended = 2;
  void lock_contended() noexcept {
    while (state_.exchange(kContended, std::memory_order_acquire) != kUnlocked) wait_on_word(state_, kContended);
  }

  std::atomic<std::uint32_t> state_{kUnlocked};
};

}  // namespace quellgate::executor
