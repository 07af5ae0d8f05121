#pragma once
#include <type_traits>
#include <utility>

#include "frame/error.hpp"
#include "executor/forced_unwind.hpp"

namespace quellgate::gil {

// The pending-release queue's lock may have been held by a thread that does
// not exist in a forked child: the child starts from a fresh, empty queue.
void reset_pending_releases_after_fork() noexcept;

// This thread's lock depth and the references it dropped under the lock.
struct ThreadLockState;

// One boundary entry on a thread that already holds the lock.
class EntryScope {
 public:
  EntryScope();
  ~EntryScope();
  // Releases the references this thread dropped while holding the lock and
  // those that other threads queued, including any that the releases drop in
  // turn. A release can run any finaliser, and a finaliser that gives up the
  // lock during interpreter finalisation ends this thread: call it only where
  // that unwind may pass (never from a destructor or a noexcept function),
  // which is why drop_reference defers to it.
  void release_dropped();
  EntryScope(const EntryScope&) = delete;
  EntryScope& operator=(const EntryScope&) = delete;

 private:
  ThreadLockState* thread_;
};

// Takes the interpreter lock on any thread (nested when already held).
// Use it through with_gil, which also handles the thread being ended.
class Acquisition {
 public:
  Acquisition();
  ~Acquisition();
  // As EntryScope::release_dropped.
  void release_dropped();
  // The interpreter ended this thread while the lock was given up inside a
  // Python call: the thread no longer holds the lock and must not touch the
  // interpreter again on its way out.
  void abandon() noexcept;
  Acquisition(const Acquisition&) = delete;
  Acquisition& operator=(const Acquisition&) = delete;

 private:
  ThreadLockState* thread_;
  bool ensured_ = false;
  bool abandoned_ = false;
  PyGILState_STATE state_{};
};

// Runs `work` inside `scope` (lock held) between two releases of dropped
// references: what other threads queued goes first, what `work` dropped goes
// before returning.
template <class Scope, class Work>
auto releasing_around(Scope& scope, Work&& work) {
  scope.release_dropped();
  if constexpr (std::is_void_v<std::invoke_result_t<Work>>) {
    std::forward<Work>(work)();
    scope.release_dropped();
  } else {
    auto result = std::forward<Work>(work)();
    scope.release_dropped();
    return result;
  }
}

// On a thread that is not the interpreter's and ends now: frees the thread
// state that its first acquisition kept for the thread's life. Does nothing
// on any other thread, or once the interpreter is finalising. May end the
// thread, as taking the lock does during finalisation.
void release_kept_thread_state();

// Called once the module is imported, lock held: from then on a thread that
// finds the interpreter uninitialised has found it finalising, not missing.
void note_interpreter_running() noexcept;

// Lets other Python threads run while this one works without the lock.
class Suspension {
 public:
  Suspension() noexcept;
  // Retakes the lock and releases what was dropped meanwhile; may end the
  // thread during interpreter finalisation.
  void resume();
  // The thread is being unwound by the interpreter (finalisation): never
  // retake the lock on the way out.
  void abandon() noexcept { thread_state_ = nullptr; }
  ~Suspension();
  Suspension(const Suspension&) = delete;
  Suspension& operator=(const Suspension&) = delete;

 private:
  void retake();

  int saved_depth_;
  PyThreadState* thread_state_;
};

// Runs `work` holding the interpreter lock and returns its result.
template <class Work>
auto with_gil(Work&& work) {
  Acquisition lock;
  try {
    return releasing_around(lock, std::forward<Work>(work));
  } catch (...) {
    if (executor::ending_the_thread()) lock.abandon();
    throw;
  }
}

// Runs `work` with the interpreter lock released and returns its result.
template <class Work>
auto without_gil(Work&& work) {
  Suspension suspension;
  try {
    auto result = std::forward<Work>(work)();
    suspension.resume();
    return result;
  } catch (...) {
    if (executor::ending_the_thread()) suspension.abandon();
    throw;
  }
}

}  // namespace quellgate::gil
