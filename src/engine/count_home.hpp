#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "engine/window.hpp"

namespace quellgate::engine {

class LimiterCore;

// Why a home could not do what it was asked, for the error the limiter
// layer raises.
struct HomeFailure {
  enum class Kind {
    os,       // OSError: the host refused (shared memory)
    invalid,  // ValueError: the name holds another configuration
    storage,  // StorageError: the server could not be reached or refused
  } kind = Kind::os;
  std::string message;
};

// Where a limiter's counts live when the process is not their only keeper:
// this host's shared memory, or a server. A limiter without a home counts in
// its own LimiterState, and the engine takes that path first, so the
// in-process limiter pays one predictable branch for the seam and no call.
//
// The configuration stays with the LimiterCore (window names, lengths and
// limits, max_burst, blocking); the home keeps the counts, the burst permits
// and whatever tells waiters that a permit came back. The interrupt flag and
// the waiter list stay in the process: they belong to its threads and jobs.
class CountHome {
 public:
  CountHome() = default;
  CountHome(const CountHome&) = delete;
  CountHome& operator=(const CountHome&) = delete;
  virtual ~CountHome() = default;

  struct Attempt {
    bool admitted = false;
    bool burst_refused = false;                 // the cap refused; no window was looked at
    std::optional<std::chrono::nanoseconds> window_wait;  // when a window refused: until it rolls over
    // The home could not decide (a lock left unusable, no room for this
    // process): treated as the in-process table's broken state, which ends
    // the admission interrupted; the limiter layer asks for the reason.
    bool failed = false;
    // When admitted: the reading of the clock that decided (this host's, or
    // the server's), which names the windows the admission was counted in,
    // for a later settle().
    std::chrono::nanoseconds decided_at{0};
  };

  // Whether admit() answers without waiting on anyone (shared memory does).
  // A home that must ask a server answers false: the asyncio methods then
  // never ask it on the loop's thread, make every admission a job, and the
  // job asks through admit_async, holding no thread while it waits.
  virtual bool decides_at_once() const noexcept { return true; }

  // admit() without blocking: `done` runs once, on any thread, and must not
  // block. Only homes that do not decide at once override it.
  using AttemptCallback = std::function<void(Attempt)>;
  virtual void admit_async(std::chrono::nanoseconds now, bool take_permit, std::uint64_t cost,
                           AttemptCallback done) {
    done(admit(now, take_permit, cost));
  }

  // All or nothing: with take_permit, one burst permit of this process, and
  // `cost` (at least 1, at most every window's limit) places in every
  // window. A refusal leaves no trace.
  virtual Attempt admit(std::chrono::nanoseconds now, bool take_permit, std::uint64_t cost) = 0;

  // A reservation's settlement: adds `delta` to the count of every window an
  // admission decided at `decided_at` (Attempt::decided_at) was counted in,
  // without refusal, or with a negative `delta` takes it away, never below
  // 0; a window that has rolled over since is left alone. All or nothing, on
  // the clock of whoever decides, like admit(). A home that asks a server may
  // only start it here; later attempts of this process still see it done.
  virtual void settle(std::chrono::nanoseconds decided_at, std::int64_t delta) noexcept = 0;
  // The same, for a job: `answered` runs once, on any thread and without
  // blocking, once every process can see the settlement.
  virtual void settle_then(std::chrono::nanoseconds decided_at, std::int64_t delta,
                           std::function<void()> answered) {
    settle(decided_at, delta);
    answered();
  }

  // The home of one key's counts: windows and burst permits of its own,
  // under the same configuration, kept where this home keeps its own (the
  // same segment, the same server) and apart from them and from every other
  // key's. `key` is 1 to 256 bytes of any value. Cheap: nothing is stored
  // until the key is counted. Null when this home keeps no keys (a key's
  // own home, for one).
  virtual std::shared_ptr<CountHome> for_key(std::string_view /*key*/) { return nullptr; }

  // How full a bounded table of keys is, for a home that keeps one (shared
  // memory): entries live now, the table's size, and how many admissions it
  // refused for want of a free entry since it was made.
  struct KeyTableUse {
    std::uint64_t live = 0;
    std::uint64_t max_keys = 0;
    std::uint64_t refused = 0;
  };
  virtual std::optional<KeyTableUse> key_table_use() { return std::nullopt; }
  // Gives one permit of this process back and tells every waiter, in any
  // process, that one came back. A home that asks a server may only start
  // the release here; later attempts of this process still see it done.
  virtual void release_permit() noexcept = 0;
  // The same, for a thread that may wait (the interpreter lock released):
  // returns once every process can see the permit back.
  virtual void release_permit_and_wait() noexcept { release_permit(); }
  // The same, for a job that awaits it: `answered` runs once, on any thread
  // and without blocking, once every process can see the permit back.
  virtual void release_permit_then(std::function<void()> answered) {
    release_permit();
    answered();
  }
  virtual std::optional<std::uint64_t> burst_remaining() = 0;
  // Fills the counts of `windows` (configured as the core has them) as of `now`.
  virtual void read_windows(std::chrono::nanoseconds now, std::span<WindowState> windows) = 0;
  virtual std::optional<std::chrono::nanoseconds> window_wait(std::chrono::nanoseconds now) = 0;

  // How many releases there have been, as a number that changes with each;
  // read before an attempt, so that a waiter refused by the cap sleeps only
  // while it stays the same and no release slips in between.
  virtual std::uint32_t releases_seen() const noexcept = 0;

  enum class SleepEnd { released, timed_out, signal };
  // A thread's sleep until the count moves past `seen`, the monotonic
  // deadline, or a signal handler runs on this thread.
  virtual SleepEnd sleep_until_release(std::uint32_t seen, std::chrono::nanoseconds monotonic_deadline) noexcept = 0;

  // Jobs sleep on the executor's timer, not in a system call: a job about to
  // sleep for a permit asks the home to wake the core's burst waiters when a
  // release moves the count past `seen`, from whichever process it comes.
  virtual void watch_releases_for(const LimiterCore& core, std::uint32_t seen) = 0;

  // Whether watch_releases_for wakes one of the core's burst waiters for
  // every release, whatever process it comes from, so that they wait as an
  // in-process limiter's do: one of them polls, the others sleep until
  // woken, threads and jobs alike (see WaiterList). Otherwise each polls on
  // its own backoff, threads sleeping in sleep_until_release.
  virtual bool watches_releases() const noexcept { return false; }
  // A wake that watch_releases_for delivered went to a waiter that will not
  // try, and no other waiter of this process is left: give it to another.
  virtual void pass_release_on() noexcept {}

  // Why the last attempt of this process failed, for the error it raises.
  virtual HomeFailure failure() const = 0;

  // Why the last report (read_windows, burst_remaining, window_wait) on the
  // calling thread could not be read, taken once; nothing when it was read.
  // The limiter layer calls it at the end of every report, which ends it.
  virtual std::optional<HomeFailure> take_report_failure() noexcept { return std::nullopt; }

  // A home guarded by a lock of its own that other processes take (shared
  // memory) only tries it: a holder may be stopped for good, and the caller
  // may hold the interpreter lock or run an event loop. When another holds
  // it, the call does nothing, notes that on the calling thread, and answers
  // as for a failure (a failed attempt, a report that could not be read); a
  // release it could not make is owed, and made by the home later. The
  // limiter layer takes the note after a call, waits for the lock where it
  // may (a thread, with the interpreter lock released; a job, on the
  // executor's timer), and tries again.
  //
  // Whether the last call on this thread found the lock held; taken once.
  // Not virtual: a release asks it after every call.
  bool take_lock_busy() const noexcept { return std::exchange(lock_found_busy_at, nullptr) == this; }
  enum class LockWait { free, timed_out, unusable };
  // Waits until the lock is free or the monotonic deadline (a deadline
  // already passed: one try). Never with the interpreter lock held.
  virtual LockWait wait_for_lock(std::chrono::nanoseconds) noexcept { return LockWait::free; }
  // Makes the releases owed, if the lock is free now; notes busy if not.
  virtual void give_back_owed_releases() noexcept {}
  // Why a call gave up waiting for the lock: who holds it, and whether it is stopped.
  virtual HomeFailure stuck_lock() const { return failure(); }

  // A report from a job must hold no thread while a server answers: the job
  // has the home read ahead, `done` running once on any thread with what it
  // read, and hands that to use_reading on the thread that makes the report,
  // just before it. A home that decides at once reads nothing ahead (null),
  // and its report reads as ever.
  using Reading = std::shared_ptr<void>;
  using ReadingCallback = std::function<void(Reading)>;
  virtual void read_ahead(ReadingCallback done) { done(nullptr); }
  virtual void use_reading(Reading) noexcept {}

  // In a forked child, whose threads are gone: forget anything that ran on one.
  virtual void forget_threads_in_child() noexcept {}

 protected:
  // For take_lock_busy, on the calling thread.
  void note_lock_busy() const noexcept { lock_found_busy_at = this; }

 private:
  // The home whose lock the last call on this thread found held.
  static inline thread_local const CountHome* lock_found_busy_at = nullptr;
};

}  // namespace quellgate::engine
