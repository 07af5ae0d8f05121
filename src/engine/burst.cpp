#include "engine/burst.hpp"

#include <atomic>
#include <utility>

namespace quellgate::engine {

// The burst count guards no other memory, and read-modify-writes of one
// atomic are totally ordered whatever their memory order, so relaxed order
// is enough for the cap to hold: no two takers can both see the last place.
//
// A release must also wake a sleeping burst waiter, without a lock when
// nobody sleeps. A waiter enlists (a sequentially consistent increment of
// the waiter count), then reads the burst count (sequentially consistent)
// before it sleeps; a release decrements the burst count (sequentially
// consistent) and then reads the waiter count (sequentially consistent). In
// the single order of those four operations, either the release reads the
// waiter and wakes it, or the waiter reads the returned permit and does not
// sleep. On x86 the stronger order costs nothing more on this path: the
// read-modify-write is a locked instruction either way and the load a plain
// move.

bool take_burst(const LimiterCore& core) noexcept {
  const auto max_burst = core.max_burst();
  if (!max_burst) return true;
  auto& in_use = core.burst_in_use();
  std::uint64_t held = in_use.load(std::memory_order_relaxed);
  do {
    if (held >= *max_burst) return false;
  } while (!in_use.compare_exchange_weak(held, held + 1, std::memory_order_relaxed));
  return true;
}

void release_burst(const LimiterCore& core) noexcept {
  if (!core.max_burst()) return;
  if (core.home() != nullptr) [[unlikely]] return core.home()->release_permit();
  auto& in_use = core.burst_in_use();
  std::uint64_t held = in_use.load(std::memory_order_relaxed);
  do {
    if (held == 0) return;
  } while (!in_use.compare_exchange_weak(held, held - 1, std::memory_order_seq_cst, std::memory_order_relaxed));
  WaiterList& waiters = core.waiters();
  if (waiters.has_burst_waiters()) waiters.wake_one_burst_waiter();
}

std::optional<std::uint64_t> burst_remaining(const LimiterCore& core) noexcept {
  const auto max_burst = core.max_burst();
  if (!max_burst) return std::nullopt;
  if (core.home() != nullptr) [[unlikely]] return core.home()->burst_remaining();
  const std::uint64_t held = core.burst_in_use().load(std::memory_order_relaxed);
  return held >= *max_burst ? 0 : *max_burst - held;
}

// Limiters without a burst cap hand out permits that own nothing, so the
// common case costs no reference count on the shared state.
BurstPermit::BurstPermit(const LimiterCore& core) noexcept {
  if (core.max_burst()) core_.emplace(core);
}

BurstPermit::BurstPermit(BurstPermit&& other) noexcept : core_(std::exchange(other.core_, std::nullopt)) {}

BurstPermit::~BurstPermit() {
  if (core_) release_burst(*core_);
}

void BurstPermit::hand_over() noexcept { core_.reset(); }

}  // namespace quellgate::engine
