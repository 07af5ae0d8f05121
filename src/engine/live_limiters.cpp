#include "engine/live_limiters.hpp"

#include <atomic>
#include <mutex>

#include "engine/limiter_state.hpp"

namespace quellgate::engine {
namespace {

// Lock order: the registry's lock, then for each limiter in list order its
// table's lock, its waiter lists' locks, the lock that guards the making of
// its key table and that table's lock. No code takes the registry's lock
// while holding a limiter's lock.
std::mutex registry_lock;
LimiterState* newest = nullptr;  // head of the intrusive list; guarded by registry_lock

void unlock_limiter(LimiterState& state) noexcept {
  if (LocalKeys* keys = state.keys.load(std::memory_order_relaxed)) keys->unlock_after_fork();
  state.keys_creation.unlock();
  state.key_waiters.unlock_after_fork();
  state.waiters.unlock_after_fork();
  state.table.unlock_after_fork();
}

}  // namespace

template <class Each>
void LiveLimiters::for_each_limiter(Each each) noexcept {
  for (LimiterState* state = newest; state != nullptr; state = state->older_) each(*state);
}

LimiterState::LimiterState(std::span<const WindowState> windows) noexcept : table(windows) {
  LiveLimiters::add(*this);
}

LimiterState::~LimiterState() { LiveLimiters::remove(*this); }

void LiveLimiters::add(LimiterState& state) noexcept {
  const std::lock_guard lock(registry_lock);
  state.older_ = newest;
  if (newest != nullptr) newest->newer_ = &state;
  newest = &state;
}

void LiveLimiters::remove(LimiterState& state) noexcept {
  const std::lock_guard lock(registry_lock);
  if (state.older_ != nullptr) state.older_->newer_ = state.newer_;
  if (state.newer_ != nullptr) state.newer_->older_ = state.older_;
  if (newest == &state) newest = state.older_;
}

void LiveLimiters::hold_all() noexcept {
  registry_lock.lock();
  for_each_limiter([](LimiterState& state) {
    state.table.lock_for_fork();
    state.waiters.lock_for_fork();
    state.key_waiters.lock_for_fork();
    // Relaxed under keys_creation, which its store is made under.
    state.keys_creation.lock();
    if (LocalKeys* keys = state.keys.load(std::memory_order_relaxed)) keys->lock_for_fork();
  });
}

void LiveLimiters::release_all_in_parent() noexcept {
  for_each_limiter(unlock_limiter);
  registry_lock.unlock();
}

void LiveLimiters::release_all_in_child() noexcept {
  for_each_limiter([](LimiterState& state) {
    // Relaxed: the child has one thread, and the unlock below publishes it.
    state.burst_in_use.store(0, std::memory_order_relaxed);
    state.waiters.forget_all_in_child();
    state.key_waiters.forget_all_in_child();
    if (LocalKeys* keys = state.keys.load(std::memory_order_relaxed)) keys->free_permits_in_child();
    if (state.home) state.home->forget_threads_in_child();
    unlock_limiter(state);
  });
  registry_lock.unlock();
}

}  // namespace quellgate::engine
