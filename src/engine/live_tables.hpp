#pragma once

namespace quellgate::engine {

class WindowTable;

// Every WindowTable alive in the process, so that a fork can hold them all.
//
// fork() copies only the thread that calls it. Had another thread been inside
// a table's critical section at that moment, the child would inherit that
// lock held by nobody, and its first admission on the limiter would never
// return. Holding every table across the fork means the child copies each one
// between two sections, with its counts whole.
class LiveTables {
 public:
  // Before the fork: takes the registry's lock, then every table's lock.
  static void hold_all() noexcept;
  // After the fork, in the parent and in the child: releases what hold_all took.
  static void release_all() noexcept;

 private:
  friend class WindowTable;
  static void add(WindowTable& table) noexcept;
  static void remove(WindowTable& table) noexcept;
};

}  // namespace quellgate::engine
