#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>

#include "engine/count_home.hpp"
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

 private:
  friend class LiveLimiters;
  LimiterState* older_ = nullptr;  // guarded by the LiveLimiters lock
  LimiterState* newer_ = nullptr;  // guarded by the LiveLimiters lock
};

}  // namespace quellgate::engine
