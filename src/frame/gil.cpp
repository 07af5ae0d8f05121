#include "frame/gil.hpp"

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "executor/environment.hpp"
#include "executor/shared_blocking_pool.hpp"
#include "frame/fault.hpp"
#include "frame/handle.hpp"

namespace quellgate {
namespace gil {

// Trivially destructible, so threads need no exit hook for it. Kept small:
// glibc gives a module loaded with dlopen a place in the static TLS block,
// where a TLS descriptor resolves to a plain load, only while the module's
// whole TLS segment fits in 512 bytes; past that, every thread_local access
// in the module goes through __tls_get_addr. A full list is handed to the
// shared queue, so a smaller one only costs a lock more often.
struct ThreadLockState {
  static constexpr int kDroppedCapacity = 16;
  // How many boundary entries and explicit acquisitions are active: at least
  // 1 means the thread holds the interpreter lock, a negative value marks a
  // thread that must not touch the interpreter at all.
  int depth = 0;
  // References dropped while holding the lock, waiting for the next release.
  // Owned by the thread, so no lock; handed to the shared queue whenever the
  // depth falls to 0, so nothing is stranded on a thread that never enters
  // again.
  int dropped_count = 0;
  // The thread keeps the extra hold on its thread state that Acquisition took
  // for a thread that is not the interpreter's. Owned by the thread.
  bool keeps_thread_state = false;
  PyObject* dropped[kDroppedCapacity]{};
};

namespace {

thread_local ThreadLockState this_thread;

// References dropped by threads that do not hold the interpreter lock, and
// those handed over by threads that gave it up. The mutex is only ever held
// for a push or a swap, never while waiting for the interpreter lock, so it
// cannot deadlock against it.
struct PendingReleases {
  std::mutex mutex;
  std::vector<PyObject*> objects;  // guarded by mutex
};

// Never destroyed: worker threads may still queue releases while the process
// runs its static destructors.
std::atomic<PendingReleases*> pending_releases{new PendingReleases};

// Lets the hot path skip the mutex when nothing is queued. Relaxed is enough:
// the objects themselves are handed over under the mutex, and a drop racing
// with an entry is simply released by the next entry.
std::atomic<bool> releases_queued{false};

std::once_flag interpreter_checked;

// Set at import and never cleared. Relaxed is enough: every thread that
// takes the lock was started, directly or through the executor's queue, by
// a call made after the import, and that start orders the store before it.
std::atomic<bool> interpreter_was_running{false};

// A child forked while another thread held the queue's mutex would deadlock
// on its first drop; it starts from a fresh queue instead.
const bool fork_handler_registered = [] {
  executor::register_fork_child_handler(reset_pending_releases_after_fork);
  return true;
}();

// A blocking-pool thread ends after idling, unlike a worker: the thread state
// it kept would outlive it, one more for every thread the pool ever started.
const bool blocking_thread_end_hook_set = [] {
  executor::set_blocking_thread_end_hook(release_kept_thread_state);
  return true;
}();

void require_lock_allowed(const ThreadLockState& thread) {
  if (thread.depth < 0) fault("access to the GIL is prohibited while a __traverse__ implementation is running");
}

void queue_releases(PyObject* const* objects, int count) noexcept {
  // Acquire pairs with the release store in reset_pending_releases_after_fork.
  PendingReleases& queue = *pending_releases.load(std::memory_order_acquire);
  std::lock_guard lock(queue.mutex);
  queue.objects.insert(queue.objects.end(), objects, objects + count);
  releases_queued.store(true, std::memory_order_relaxed);
}

void hand_over_dropped(ThreadLockState& thread) noexcept {
  if (thread.dropped_count == 0) return;
  queue_releases(thread.dropped, thread.dropped_count);
  thread.dropped_count = 0;
}

void defer_release(ThreadLockState& thread, PyObject* object) noexcept {
  if (thread.dropped_count == ThreadLockState::kDroppedCapacity) hand_over_dropped(thread);
  thread.dropped[thread.dropped_count++] = object;
}

std::vector<PyObject*> take_queued() {
  PendingReleases& queue = *pending_releases.load(std::memory_order_acquire);
  std::vector<PyObject*> taken;
  std::lock_guard lock(queue.mutex);
  taken.swap(queue.objects);
  releases_queued.store(false, std::memory_order_relaxed);
  return taken;
}

void release_dropped_by(ThreadLockState& thread) {
  // Finalisers run from here drop more references (onto this thread's list):
  // go on until nothing is left. An unwind that ends the thread midway leaves
  // the rest of a taken batch unreleased, which at exit is harmless.
  for (;;) {
    while (thread.dropped_count > 0) Py_DecRef(thread.dropped[--thread.dropped_count]);
    if (!releases_queued.load(std::memory_order_relaxed)) return;
    for (PyObject* object : take_queued()) Py_DecRef(object);
  }
}

}  // namespace

void reset_pending_releases_after_fork() noexcept {
  // The old queue (and its possibly held mutex) is left behind on purpose.
  pending_releases.store(new PendingReleases, std::memory_order_release);
  releases_queued.store(false, std::memory_order_relaxed);
}

EntryScope::EntryScope() : thread_(&this_thread) {
  require_lock_allowed(*thread_);
  ++thread_->depth;
}

EntryScope::~EntryScope() {
  if (--thread_->depth == 0) hand_over_dropped(*thread_);
}

void release_kept_thread_state() {
  ThreadLockState& thread = this_thread;
  if (!std::exchange(thread.keeps_thread_state, false) || thread.depth != 0) return;
  // A finalising interpreter (or a finished one) must not be touched: the
  // state goes with it. Finalisation that begins just after this check ends
  // the thread inside PyGILState_Ensure, an unwind the pool lets pass.
  if (!Py_IsInitialized()) return;
  // A fresh hold takes the lock; the kept hold, taken while the lock was
  // held, is given back as such; the fresh one, the last, frees the state and
  // the lock with it.
  const PyGILState_STATE fresh = PyGILState_Ensure();
  PyGILState_Release(PyGILState_LOCKED);
  PyGILState_Release(fresh);
}

void note_interpreter_running() noexcept { interpreter_was_running.store(true, std::memory_order_relaxed); }

void EntryScope::release_dropped() { release_dropped_by(*thread_); }

Acquisition::Acquisition() : thread_(&this_thread) {
  if (thread_->depth > 0) {
    ++thread_->depth;
    return;
  }
  std::call_once(interpreter_checked, [] {
    // A worker's first acquisition can come after the interpreter began to
    // finalise (its first job waited past the end); taking the lock then ends
    // the thread, as for any later acquisition.
    if (!Py_IsInitialized() && !interpreter_was_running.load(std::memory_order_relaxed)) {
      fault("The Python interpreter is not initialized");
    }
  });
  const bool had_thread_state = PyGILState_GetThisThreadState() != nullptr;
  state_ = PyGILState_Ensure();
  ensured_ = true;
  if (!had_thread_state) {
    // A thread that is not the interpreter's (an executor worker) keeps the
    // thread state it was just given for its whole life: one extra hold that
    // is never released stops every later release from destroying it, which
    // would otherwise cost a fresh allocation on every hop into Python.
    // A thread that ends by itself gives it back: release_kept_thread_state.
    PyGILState_Ensure();
    thread_->keeps_thread_state = true;
  }
  require_lock_allowed(*thread_);
  ++thread_->depth;
}

Acquisition::~Acquisition() {
  if (abandoned_) return;
  if (--thread_->depth == 0) hand_over_dropped(*thread_);
  if (ensured_) PyGILState_Release(state_);
}

void Acquisition::release_dropped() { release_dropped_by(*thread_); }

void Acquisition::abandon() noexcept {
  abandoned_ = true;
  thread_->depth = -1;  // nothing on this thread may touch the interpreter any more
  // Whatever the unwind drops from here on is queued for the threads that
  // live on; so is what this thread had dropped and not yet released.
  hand_over_dropped(*thread_);
}

Suspension::Suspension() noexcept : saved_depth_(std::exchange(this_thread.depth, 0)) {
  hand_over_dropped(this_thread);  // others may release them while this thread waits
  thread_state_ = PyEval_SaveThread();
}

void Suspension::retake() {
  this_thread.depth = saved_depth_;
  PyEval_RestoreThread(std::exchange(thread_state_, nullptr));
}

void Suspension::resume() {
  retake();
  release_dropped_by(this_thread);
}

// Only retakes: releasing here could run a finaliser inside a destructor.
Suspension::~Suspension() {
  if (thread_state_ != nullptr) retake();
}

}  // namespace gil

void drop_reference(PyObject* object) noexcept {
  gil::ThreadLockState& thread = gil::this_thread;
  if (thread.depth >= 1) {
    gil::defer_release(thread, object);
  } else {
    gil::queue_releases(&object, 1);
  }
}

}  // namespace quellgate
