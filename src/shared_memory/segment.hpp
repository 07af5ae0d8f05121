#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/window.hpp"

namespace quellgate::shared_memory {

struct WindowSpec {
  std::uint64_t length_seconds = 1;  // at least 1
  std::uint64_t limit = 1;           // at least 1
  friend bool operator==(const WindowSpec&, const WindowSpec&) = default;
};

// What every opener of one name must agree on: the windows (length and
// limit, in period order, as the engine has them) and the burst cap.
struct SharedConfig {
  std::array<WindowSpec, 4> windows{};
  std::size_t window_count = 0;  // at most 4
  std::uint64_t max_burst = 0;   // 0: no burst cap
  // Entries of the key table: keys counted at once, across processes.
  std::uint64_t max_keys = default_max_keys;
  static constexpr std::uint64_t default_max_keys = 1024;

  std::span<const WindowSpec> active() const noexcept {
    return {windows.data(), std::min(window_count, windows.size())};
  }
  // For error messages, e.g. "10/1s, 500/60s, max_burst=2, max_keys=1024".
  std::string describe() const;
  friend bool operator==(const SharedConfig& a, const SharedConfig& b) noexcept;
};

// Why a name could not be opened. Python raises ValueError for bad_name and
// mismatch, OSError (with error_number) for os, and ValueError for corrupt.
struct OpenError {
  enum class Kind { bad_name, mismatch, corrupt, os } kind;
  int error_number = 0;  // errno, for Kind::os
  std::string message;   // names the name and the reason
};

// Why a segment that opened fine could not decide an operation; the caller
// reports describe(fault) as an error.
enum class Fault : std::uint8_t {
  none,
  unrecoverable_lock,  // for good: the lock was left ENOTRECOVERABLE, or overwritten
  no_free_slot,        // for now: every process slot belongs to a live process holding permits
  lock_busy,           // for now: another thread holds the lock; nothing was done
  lock_stuck,          // a caller waited for the lock as long as it would (describe names the holder)
};

class Mapping;
struct KeyRef;

// One process's open mapping of a named shared limiter. Move-only; unmaps on
// destruction (the name stays until remove()). Every method may be called
// from any thread of the process at once; none on a moved-from Segment.
//
// Any process of the user can write anything into the segment. Every value
// read from it is bounded before use, so such a write can give wrong counts
// but never a crash here, with two exceptions no check can prevent: a lock
// word made to look held by a live thread leaves every call busy (callers
// give up after a bounded wait), and an object truncated under a live
// mapping faults (SIGBUS) at the next touch.
class Segment {
 public:
  // Opens the name, creating it fully initialised with `mode` (permission
  // bits only; 0600 when none is given) when it does not exist yet. An
  // existing object of another user is refused (Kind::os, EACCES) unless
  // both sides share it with a group; one whose mode differs from a `mode`
  // given is Kind::mismatch.
  static std::expected<Segment, OpenError> open(std::string_view name, const SharedConfig& config,
                                                std::optional<unsigned> mode);
  // Unlinks the name (on Windows, renames the file away and deletes it).
  // Mappings still open keep working on their own copy until they go. A missing name is Kind::os with ENOENT.
  static std::expected<void, OpenError> remove(std::string_view name);

  Segment(Segment&&) noexcept;
  Segment& operator=(Segment&&) noexcept;
  ~Segment();

  const SharedConfig& config() const noexcept;
  const std::string& name() const noexcept;
  // A message for a fault, naming the name.
  std::string describe(Fault fault) const;

  struct Attempt {
    bool admitted = false;
    // When a window refused: time until the first full window rolls over
    // (at least 1 ms).
    std::optional<std::chrono::nanoseconds> window_wait;
    bool burst_refused = false;  // the burst cap refused (windows untouched)
    bool table_full = false;     // no entry could be had for the key
    Fault fault = Fault::none;   // not admitted because the segment could not decide
  };
  // All or nothing under the segment's lock: when take_permit (and a cap is
  // set), one burst permit into this process's slot, reclaiming the permits
  // of dead processes of this PID namespace when the cap refuses; and
  // `cost` places in every window. A refusal leaves no trace.
  //
  // With a key (1 to 256 bytes, key_table.hpp), the same in the key's own
  // windows and burst count, in its entry of the table; its first
  // admission takes an entry for it. When no entry can be had, the attempt
  // is refused as a full window would be, with window_wait until an entry
  // may come free, and counted in key_table_use().refused.
  Attempt admit(std::chrono::nanoseconds now, bool take_permit, std::uint64_t cost = 1,
                const KeyRef* key = nullptr);

  // Every call below that reads or writes the cells only tries the lock:
  // when another thread holds it, the call does nothing and answers
  // Fault::lock_busy. Whoever may wait calls wait_for_lock, then tries again.

  // Gives one permit of this process back (never below 0, never another
  // process's), bumps the wake word, and wakes one sleeper on it.
  // Fault::lock_busy, or none (also when the lock cannot be taken at all:
  // no permit can be held then).
  Fault release_permit(const KeyRef* key = nullptr) noexcept;

  // A reservation's settlement, in one step: `delta` added to (or, below 0,
  // taken from, never below 0) the count of every window that still is the
  // one `decided_at` fell in; a window that has moved on is left alone, as
  // is a key whose entry went to another key meanwhile.
  Fault settle(std::chrono::nanoseconds decided_at, std::int64_t delta, const KeyRef* key = nullptr) noexcept;

  // Free burst permits; nothing without a cap.
  std::expected<std::optional<std::uint64_t>, Fault> burst_remaining(const KeyRef* key = nullptr) noexcept;

  // Fills count and window_start of out[i] (i below config().window_count)
  // with the windows as they stand at `now`, plus limit and length; the
  // segment itself is not written. Names are left as they are. A key
  // without an entry reads as empty windows.
  Fault read_windows(std::chrono::nanoseconds now, std::span<engine::WindowState> out,
                     const KeyRef* key = nullptr) noexcept;
  // Time until the first full window rolls over (at least 1 ms); nothing
  // when none is full.
  std::expected<std::optional<std::chrono::nanoseconds>, Fault> window_wait(std::chrono::nanoseconds now,
                                                                             const KeyRef* key = nullptr) noexcept;

  struct KeyTableUse {
    std::uint64_t live = 0;  // entries counting something at `now`
    std::uint64_t max_keys = 0;
    std::uint64_t refused = 0;  // admissions refused for want of an entry
  };
  std::expected<KeyTableUse, Fault> key_table_use(std::chrono::nanoseconds now) noexcept;

  // Waits until the lock is free, up to the monotonic deadline (the
  // executor's clock: CLOCK_MONOTONIC, QueryPerformanceCounter), and
  // lets it go again at once: none when it was free, lock_busy when the
  // deadline came first, unrecoverable_lock when it cannot be taken. Never
  // with the interpreter lock held; a signal does not end it.
  Fault wait_for_lock(std::chrono::nanoseconds monotonic_deadline) const noexcept;

  // The word every release bumps. A waiter reads it before its attempt and
  // sleeps on it only while it is unchanged, so no release is lost between
  // a refused attempt and the sleep.
  std::uint32_t wake_word() const noexcept;
  // woken: by a release or a wake passed on; changed: the word had moved
  // before the sleep began, so releases' wakes may have found nobody.
  enum class WaitEnd { woken, changed, timed_out, signal };
  // Sleeps (wake.hpp: a futex, or a named semaphore on Windows) until the
  // word differs from `seen`, a wake, the monotonic `deadline`, or a signal
  // (never on Windows).
  WaitEnd wait_for_release(std::uint32_t seen, std::chrono::nanoseconds monotonic_deadline) const noexcept;
  // Wakes one sleeper, for a wake its receiver could not use (wake.hpp).
  void pass_wake_on() const noexcept;

  // fork: the child takes a slot of its own at its first permit; permits the
  // parent holds stay the parent's. Nothing runs at fork time holding the
  // segment's lock.

 private:
  explicit Segment(std::unique_ptr<Mapping> mapping) noexcept;
  std::unique_ptr<Mapping> mapping_;  // never null except after a move
};

}  // namespace quellgate::shared_memory
