#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "engine/limiter_state.hpp"
#include "engine/waiters.hpp"
#include "engine/window.hpp"
#include "engine/window_table.hpp"

namespace quellgate::engine {

struct LimitArgs;
struct ConfigError;
class LimiterCore;

std::expected<LimiterCore, ConfigError> make_limiter_core(const LimitArgs& args);

// A limiter's configuration and its accounting state. Copies share the
// window table, the burst count, the interrupt flag and the sleeping waiters,
// so every copy counts against the same windows and permits; the state lives
// until its last copy goes. With a CountHome attached, the window counts and
// the burst count live there instead (see count_home.hpp). Built only by
// make_limiter_core, which guarantees the window invariants (1 to 4 windows,
// limit and length at least 1).
class LimiterCore {
 public:
  bool blocking() const noexcept { return blocking_; }
  std::optional<std::uint64_t> max_burst() const noexcept { return max_burst_; }

  // The flag carries no data with it: a waiter only has to notice it at its
  // next look, so relaxed loads and stores suffice. A sleeping waiter looks
  // after enlisting, under the list's lock, which the setter takes after its
  // store to wake everyone: one of the two always sees the other.
  void clear_interrupt() const noexcept {
    shared_->interrupt_flag.store(false, std::memory_order_relaxed);
  }
  void set_interrupt() const noexcept {
    shared_->interrupt_flag.store(true, std::memory_order_relaxed);
    shared_->waiters.wake_all();
    shared_->key_waiters.wake_all();
  }
  bool interrupted() const noexcept {
    return shared_->interrupt_flag.load(std::memory_order_relaxed);
  }

  WindowTable& window_table() const noexcept { return shared_->table; }
  // Burst permits held now; changed only through the functions of burst.hpp.
  std::atomic<std::uint64_t>& burst_in_use() const noexcept { return shared_->burst_in_use; }
  // The threads and jobs sleeping on this limiter, or for a key's view on
  // any of its keys (see LimiterState::key_waiters).
  WaiterList& waiters() const noexcept { return *waiters_; }

  // Where the counts live when not in this process, or nullptr. Kept in the
  // core itself, beside the flags every call reads, so the in-process path
  // tests it without another load from the shared state.
  CountHome* home() const noexcept { return home_; }
  // Moves the counts out of the process; only before the core is copied.
  void attach_home(std::unique_ptr<CountHome> home) noexcept {
    home_ = home.get();
    shared_->home = std::move(home);
  }

  // The same limiter counting for one key (1 to 256 bytes): windows and
  // burst permits of the key's own under this configuration, kept where
  // this limiter keeps its counts, sharing its interrupt flag. Nothing when
  // this is already a key's view, or its home keeps no keys.
  std::optional<LimiterCore> for_key(std::string_view key) const;
  bool is_key_view() const noexcept { return key_home_ != nullptr; }

 private:
  LimiterCore(std::span<const WindowState> windows, bool blocking,
              std::optional<std::uint64_t> max_burst);
  friend std::expected<LimiterCore, ConfigError> make_limiter_core(const LimitArgs& args);

  LocalKeys& local_keys() const;

  // What every admission reads comes first, as before keys, so that it
  // shares the instance's first cache line with the object header.
  std::shared_ptr<LimiterState> shared_;
  CountHome* home_ = nullptr;  // owned by the shared state, or for a key's view by key_home_
  bool blocking_;
  std::optional<std::uint64_t> max_burst_;
  // In the shared state; a pointer rather than a test of key_home_, so a
  // release looks for sleepers with one load less.
  WaiterList* waiters_;
  // A key's view: its home, shared by the copies of this core. Declared
  // after shared_, so it goes first: a key's home may refer to the state.
  std::shared_ptr<CountHome> key_home_;
};

}  // namespace quellgate::engine
