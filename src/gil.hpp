#pragma once
#include <utility>

#include "error.hpp"
#include "executor/forced_unwind.hpp"

namespace quellgate::gil {

// How many boundary entries and explicit acquisitions are active on this
// thread: at least 1 means the thread holds the interpreter lock, a negative
// value marks a thread that must not touch the interpreter at all.
int depth() noexcept;

// Releases every reference that threads without the lock have queued.
void drain_pending_releases() noexcept;
// Queues one reference for the next drain (called without the lock).
void queue_release(PyObject* object) noexcept;
// The queue's lock may have been held by a thread that does not exist in a
// forked child: the child starts from a fresh, empty queue.
void reset_pending_releases_after_fork() noexcept;

// One boundary entry on a thread that already holds the lock.
class EntryScope {
 public:
  EntryScope();
  ~EntryScope();
  EntryScope(const EntryScope&) = delete;
  EntryScope& operator=(const EntryScope&) = delete;
};

// Takes the interpreter lock on any thread (nested when already held).
// Use it through with_gil, which also handles the thread being ended.
class Acquisition {
 public:
  Acquisition();
  ~Acquisition();
  // The interpreter ended this thread while the lock was given up inside a
  // Python call: the thread no longer holds the lock and must not touch the
  // interpreter again on its way out.
  void abandon() noexcept;
  Acquisition(const Acquisition&) = delete;
  Acquisition& operator=(const Acquisition&) = delete;

 private:
  bool ensured_ = false;
  bool abandoned_ = false;
  PyGILState_STATE state_{};
};

// True once the interpreter has begun to exit (its atexit callbacks ran).
// From then on references are never dropped directly: a thread that the
// interpreter ends mid-call unwinds while it believes it holds the lock, and
// a leak at exit is harmless where a stray decref is not.
bool interpreter_exiting() noexcept;
// Registers the atexit callback that sets it (lock held, at import).
Result<void> watch_interpreter_exit();

// Lets other Python threads run while this one works without the lock.
class Suspension {
 public:
  Suspension() noexcept;
  // Retakes the lock; may end the thread during interpreter finalisation.
  void resume();
  // The thread is being unwound by the interpreter (finalisation): never
  // retake the lock on the way out.
  void abandon() noexcept { thread_state_ = nullptr; }
  ~Suspension();
  Suspension(const Suspension&) = delete;
  Suspension& operator=(const Suspension&) = delete;

 private:
  int saved_depth_;
  PyThreadState* thread_state_;
};

// Runs `work` holding the interpreter lock and returns its result.
template <class Work>
auto with_gil(Work&& work) {
  Acquisition lock;
  try {
    return std::forward<Work>(work)();
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
