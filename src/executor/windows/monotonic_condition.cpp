#include "executor/monotonic_condition.hpp"

#include <new>

#include "executor/windows/address_wait.hpp"

namespace quellgate::executor {

// A generation word: a waiter reads it with the lock held, then sleeps while
// it is unchanged; every notify bumps it. A notify after the waiter let go of
// the lock changes the word, so the sleep cannot miss it. notify_one wakes
// one sleeper; all of them see the new generation, which only makes the
// others' wakes spurious, as the interface allows. The timeouts run on the
// wait's own tick-based clock, which a change of the wall clock leaves alone.

namespace {

using Generation = std::atomic<std::uint32_t>;
static_assert(sizeof(Generation) <= MonotonicCondition::kNativeBytes);

Generation& generation(unsigned char* storage) noexcept { return *std::launder(reinterpret_cast<Generation*>(storage)); }

void sleep_on(Generation& word, std::unique_lock<std::mutex>& lock, DWORD timeout) {
  // Relaxed: the lock orders this read after the waiter's look at its state,
  // and the notifier's bump after its change of that state.
  const std::uint32_t seen = word.load(std::memory_order_relaxed);
  lock.unlock();
  windows::wait_while_equal(word, seen, timeout);
  lock.lock();
}

}  // namespace

MonotonicCondition::MonotonicCondition() { new (native_) Generation(0); }

MonotonicCondition::~MonotonicCondition() { generation(native_).~Generation(); }

void MonotonicCondition::wait(std::unique_lock<std::mutex>& lock) { sleep_on(generation(native_), lock, INFINITE); }

void MonotonicCondition::wait_until(std::unique_lock<std::mutex>& lock, std::chrono::nanoseconds monotonic_deadline) {
  const DWORD timeout = windows::address_wait_timeout(monotonic_deadline);
  if (timeout == 0) return;
  sleep_on(generation(native_), lock, timeout);
}

void MonotonicCondition::notify_one() {
  Generation& word = generation(native_);
  word.fetch_add(1, std::memory_order_release);
  WakeByAddressSingle(&word);
}

void MonotonicCondition::notify_all() {
  Generation& word = generation(native_);
  word.fetch_add(1, std::memory_order_release);
  WakeByAddressAll(&word);
}

}  // namespace quellgate::executor
