#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace quellgate::engine {

class LimiterCore;

// What may cut a waiter's sleep short. Every sleep also ends on its own at
// the end of its backoff step, so a wake-up that goes astray costs at most
// that step, never a hang.
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
  // Takes the waiter off the list if it is still there. Once this returns no
  // wake of it is in progress, so the waiter may be destroyed.
  void withdraw(Waiter& waiter) noexcept;

  // Whether anyone waits for a burst permit: what a release looks at before
  // it takes the lock. Sequentially consistent, paired with the release's
  // read-modify-write of the burst count: see burst.cpp.
  bool has_burst_waiters() const noexcept { return burst_waiter_count() != 0; }
  std::uint32_t burst_waiter_count() const noexcept { return burst_waiters_.load(std::memory_order_seq_cst); }

  // Wakes the longest-listed burst waiter, if any, and takes it off the list.
  void wake_one_burst_waiter() noexcept;
  // Wakes every waiter and empties the list.
  void wake_all() noexcept;

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
};

// Whether a waiter that has just enlisted still has to sleep: not when the
// interrupt flag is set, nor, for a burst waiter, when a permit has come
// back since its last attempt. Called after enlisting, this closes the gap
// between a failed attempt and the sleep, where a release would otherwise
// find nobody to wake.
bool sleep_needed(const LimiterCore& core, WakeOn wake_on) noexcept;

// Keeps a waiter on its limiter's list for one sleep.
class WaitEnrolment {
 public:
  WaitEnrolment(const LimiterCore& core, Waiter& waiter, WakeOn wake_on) noexcept;
  ~WaitEnrolment();
  WaitEnrolment(const WaitEnrolment&) = delete;
  WaitEnrolment& operator=(const WaitEnrolment&) = delete;

 private:
  WaiterList& list_;
  Waiter& waiter_;
};

}  // namespace quellgate::engine
