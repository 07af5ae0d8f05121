#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace quellgate::engine {

class LimiterCore;

// What may cut a waiter's sleep short. A window waiter's sleep also ends at
// the end of its backoff step; of a limiter's burst waiters only the one
// that polls (see WaiterList) sleeps for a step, the others until woken.
enum class WakeOn : std::uint8_t {
  release_or_interrupt,  // waiting for a burst permit
  interrupt_only,        // waiting for a window to roll over
};

// One sleeping waiter of a limiter: a thread or a job. The driver that owns
// it derives from this and says how to wake it.
class Waiter {
 public:
  Waiter(const Waiter&) = delete;
  Waiter& operator=(const Waiter&) = delete;

  // Runs with the list's lock held, on whichever thread gave a permit back
  // or set the interrupt flag. It must not block, and must take no lock that
  // anyone holds while taking the list's lock.
  virtual void wake() noexcept = 0;

 protected:
  Waiter() = default;
  ~Waiter() = default;

 private:
  friend class WaiterList;
  // Guarded by the lock of the list the waiter is on.
  Waiter* previous_ = nullptr;
  Waiter* next_ = nullptr;
  WakeOn wake_on_ = WakeOn::interrupt_only;
  bool listed_ = false;
};

// The waiters sleeping on one limiter. Not a queue: waking one of them only
// makes it try again at once, and it sleeps again if it loses the race.
//
// Every permit given back wakes a burst waiter, and a woken waiter either
// tries for the permit or passes the wake on (WaitEnrolment), so burst
// waiters need not poll. One of them still does, on the backoff schedule, as
// a safety net that costs one waiter's polling however many wait: it holds
// the poll role, and when it leaves, the role's vacancy wakes another to
// take it up.
//
// Lock order: the list's lock comes after the window table's lock and the
// live-limiter registry's lock, and before whatever a Waiter::wake takes
// (the executor's scheduler lock). It is never held across the interpreter
// lock or a sleep.
class WaiterList {
 public:
  WaiterList() = default;
  WaiterList(const WaiterList&) = delete;
  WaiterList& operator=(const WaiterList&) = delete;

  // Puts a waiter that is on no list at the end of this one.
  void enlist(Waiter& waiter, WakeOn wake_on) noexcept;
  // Takes the waiter off the list if it is still there; false when it was
  // not, as it had been woken. Once this returns no wake of it is in
  // progress, so the waiter may be destroyed.
  bool withdraw(Waiter& waiter) noexcept;

  // Whether anyone waits for a burst permit: what a release looks at before
  // it takes the lock. Sequentially consistent, paired with the release's
  // read-modify-write of the burst count: see burst.cpp.
  bool has_burst_waiters() const noexcept { return burst_waiter_count() != 0; }
  std::uint32_t burst_waiter_count() const noexcept { return burst_waiters_.load(std::memory_order_seq_cst); }

  // Wakes the longest-listed burst waiter, if any, and takes it off the
  // list; false when there was none.
  bool wake_one_burst_waiter() noexcept;
  // Wakes every waiter and empties the list.
  void wake_all() noexcept;

  // The poll role: true when the caller took it up. Its holder gives it up
  // with resign_polling, which wakes a burst waiter to take it over.
  bool claim_polling() noexcept;
  void resign_polling() noexcept;
  // Sequentially consistent, paired like the burst count: a burst waiter
  // enlists and then reads this; a resigning poller clears it and then reads
  // the waiter count. Either the waiter sees the vacancy and does not sleep
  // unbounded, or the poller sees the waiter and wakes one.
  bool polling_vacant() const noexcept { return !poller_present_.load(std::memory_order_seq_cst); }

  // For fork(): the lock held across it, and in the child, whose other
  // threads and jobs are gone, a list emptied without waking anyone.
  void lock_for_fork() noexcept { mutex_.lock(); }
  void unlock_after_fork() noexcept { mutex_.unlock(); }
  void forget_all_in_child() noexcept;

 private:
  struct Chain {
    Waiter* first = nullptr;
    Waiter* last = nullptr;
  };
  Chain& chain_for(WakeOn wake_on) noexcept;
  void unlink(Waiter& waiter) noexcept;
  static void wake_chain(Chain& chain) noexcept;

  std::mutex mutex_;
  Chain burst_chain_;   // guarded by mutex_
  Chain window_chain_;  // guarded by mutex_
  // The length of burst_chain_, changed under mutex_ and read without it.
  std::atomic<std::uint32_t> burst_waiters_{0};
  // Whether some waiting admission holds the poll role; changed by that
  // admission alone while it holds it, taken by compare-and-swap.
  std::atomic<bool> poller_present_{false};
};

// Whether a waiter that has just enlisted still has to sleep: not when the
// interrupt flag is set, nor, for a burst waiter, when a permit has come
// back since its last attempt or the poll role is vacant. Called after
// enlisting, this closes the gap between a failed attempt and the sleep,
// where a release or a resigning poller would otherwise find nobody to wake.
bool sleep_needed(const LimiterCore& core, WakeOn wake_on) noexcept;

// Keeps a waiter on its limiter's list for one sleep. A burst waiter woken
// during it that will not try again (its job cancelled, its thread's wait
// ended by a signal handler) wakes another on leaving, so the permit it was
// woken for does not lie unnoticed.
class WaitEnrolment {
 public:
  WaitEnrolment(const LimiterCore& core, Waiter& waiter, WakeOn wake_on) noexcept;
  ~WaitEnrolment();
  WaitEnrolment(const WaitEnrolment&) = delete;
  WaitEnrolment& operator=(const WaitEnrolment&) = delete;

  // The waiter makes a fresh attempt after this sleep: a wake is used.
  void will_try_again() noexcept { will_try_again_ = true; }

 private:
  const LimiterCore& core_;
  Waiter& waiter_;
  WakeOn wake_on_;
  bool will_try_again_ = false;
};

}  // namespace quellgate::engine
