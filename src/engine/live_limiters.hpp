#pragma once

namespace quellgate::engine {

struct LimiterState;

// Every limiter's shared state alive in the process, so that a fork can hold
// them all and repair them in the child.
//
// fork() copies only the thread that calls it. Had another thread been inside
// a window table's or a waiter list's critical section at that moment, the
// child would inherit that lock held by nobody, and its first use of the
// limiter would never return. Holding every lock across the fork means the
// child copies each limiter between two sections, with its counts whole.
//
// The child then starts every limiter with all burst permits free. Permits
// belong to no thread (one thread may acquire what another releases), so the
// child cannot tell which of them the forking thread holds, and the threads
// and jobs holding or waiting with the others do not exist there: a count
// kept from the parent could never come down again. Window counts are kept.
class LiveLimiters {
 public:
  // Before the fork: takes the registry's lock, then every limiter's locks.
  static void hold_all() noexcept;
  // After the fork, in the parent: releases what hold_all took.
  static void release_all_in_parent() noexcept;
  // After the fork, in the child: frees every burst permit, forgets the
  // waiters of the threads and jobs left behind, then releases the locks.
  static void release_all_in_child() noexcept;

 private:
  friend struct LimiterState;
  static void add(LimiterState& state) noexcept;
  static void remove(LimiterState& state) noexcept;
  template <class Each>
  static void for_each_limiter(Each each) noexcept;
};

}  // namespace quellgate::engine
