#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

#include "engine/count_home.hpp"
#include "engine/local_keys.hpp"
#include "engine/waiters.hpp"
#include "engine/window.hpp"
#include "engine/window_table.hpp"

namespace quellgate::engine {

// What every copy of a LimiterCore shares. Listed in LiveLimiters from
// construction to destruction, so that a fork can hold and repair it.
struct LimiterState {
  explicit LimiterState(std::span<const WindowState> windows) noexcept;
  ~LimiterState();
  LimiterState(const LimiterState&) = delete;
  LimiterState& operator=(const LimiterState&) = delete;

  WindowTable table;                          // guarded by its own lock
  std::atomic<std::uint64_t> burst_in_use{0};  // lock-free; see burst.cpp
  std::atomic<bool> interrupt_flag{false};     // lock-free; see LimiterCore's accessors
  WaiterList waiters;                         // guarded by its own lock
  // Where the counts live when not in `table` and `burst_in_use`; set once,
  // before the state is shared, and kept to the end.
  std::unique_ptr<CountHome> home;

  // The keys' waiters, apart from the limiter's own: a key's waiter polls
  // (see LocalKeyHome), and on the limiter's list it could take the wake a
  // release or a resigning poller meant for one of the limiter's sleepers.
  WaiterList key_waiters;  // guarded by its own lock
  // The counts of every key of a limiter that counts in the process, made
  // at its first key. Read without a lock once made: set once, under
  // keys_creation, released by its store and acquired by every load; the
  // table lives as long as this state, which every core holding one of its
  // keys' homes holds.
  std::atomic<LocalKeys*> keys{nullptr};
  std::mutex keys_creation;                // guards keys_owner; held across fork()
  std::unique_ptr<LocalKeys> keys_owner;   // guarded by keys_creation

 private:
  friend class LiveLimiters;
  LimiterState* older_ = nullptr;  // guarded by the LiveLimiters lock
  LimiterState* newer_ = nullptr;  // guarded by the LiveLimiters lock
};

}  // namespace quellgate::engine
