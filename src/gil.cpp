#include "gil.hpp"

#include <atomic>
#include <mutex>
#include <vector>

#include "executor/environment.hpp"
#include "fault.hpp"
#include "handle.hpp"

namespace quellgate {
namespace gil {
namespace {

thread_local int lock_depth = 0;

// References dropped by threads that do not hold the interpreter lock. The
// mutex is only ever held for a push or a swap, never while waiting for the
// interpreter lock, so it cannot deadlock against it.
struct PendingReleases {
  std::mutex mutex;
  std::vector<PyObject*> objects;  // guarded by mutex
  // Lets the hot path skip the mutex when nothing is queued. Relaxed is
  // enough: the objects themselves are handed over under the mutex, and a
  // drop racing with an entry is simply released by the next entry.
  std::atomic<bool> nonempty{false};
};

// Never destroyed: worker threads may still queue releases while the process
// runs its static destructors.
std::atomic<PendingReleases*> pending_releases{new PendingReleases};

std::once_flag interpreter_checked;

// Set once by the main thread from an atexit callback; read by any thread
// that drops a reference. Release/acquire keeps it ordered before whatever
// the interpreter does next at exit.
std::atomic<bool> exiting{false};

// A child forked while another thread held the queue's mutex would deadlock
// on its first drop; it starts from a fresh queue instead.
const bool fork_handler_registered = [] {
  executor::register_fork_child_handler(reset_pending_releases_after_fork);
  return true;
}();

void require_lock_allowed() {
  if (lock_depth < 0) fault("access to the GIL is prohibited while a __traverse__ implementation is running");
}

}  // namespace

int depth() noexcept { return lock_depth; }

void queue_release(PyObject* object) noexcept {
  // Acquire pairs with the release store in reset_pending_releases_after_fork.
  PendingReleases& queue = *pending_releases.load(std::memory_order_acquire);
  std::lock_guard lock(queue.mutex);
  queue.objects.push_back(object);
  queue.nonempty.store(true, std::memory_order_relaxed);
}

void drain_pending_releases() noexcept {
  PendingReleases& queue = *pending_releases.load(std::memory_order_acquire);
  if (!queue.nonempty.load(std::memory_order_relaxed)) return;
  std::vector<PyObject*> taken;
  {
    std::lock_guard lock(queue.mutex);
    taken.swap(queue.objects);
    queue.nonempty.store(false, std::memory_order_relaxed);
  }
  // Destructors run from here may drop more references; they hold the lock,
  // so those drops are immediate and never touch the queue's mutex.
  for (PyObject* object : taken) Py_DecRef(object);
}

void reset_pending_releases_after_fork() noexcept {
  // The old queue (and its possibly held mutex) is left behind on purpose.
  pending_releases.store(new PendingReleases, std::memory_order_release);
}

EntryScope::EntryScope() {
  require_lock_allowed();
  ++lock_depth;
  drain_pending_releases();
}

EntryScope::~EntryScope() { --lock_depth; }

Acquisition::Acquisition() {
  if (lock_depth > 0) {
    ++lock_depth;
    drain_pending_releases();
    return;
  }
  std::call_once(interpreter_checked, [] {
    if (!Py_IsInitialized()) fault("The Python interpreter is not initialized");
  });
  const bool had_thread_state = PyGILState_GetThisThreadState() != nullptr;
  state_ = PyGILState_Ensure();
  ensured_ = true;
  if (!had_thread_state) {
    // A thread that is not the interpreter's (an executor worker) keeps the
    // thread state it was just given for its whole life: one extra hold that
    // is never released stops every later release from destroying it, which
    // would otherwise cost a fresh allocation on every hop into Python.
    PyGILState_Ensure();
  }
  require_lock_allowed();
  ++lock_depth;
  drain_pending_releases();
}

Acquisition::~Acquisition() {
  if (abandoned_) return;
  if (ensured_) PyGILState_Release(state_);
  --lock_depth;
}

void Acquisition::abandon() noexcept {
  abandoned_ = true;
  lock_depth = -1;  // nothing on this thread may touch the interpreter any more
}

bool interpreter_exiting() noexcept { return exiting.load(std::memory_order_acquire); }

Result<void> watch_interpreter_exit() {
  static PyMethodDef on_exit = {
      "_quellgate_exit",
      [](PyObject*, PyObject*) -> PyObject* {
        exiting.store(true, std::memory_order_release);
        Py_IncRef(Py_None);
        return Py_None;
      },
      METH_NOARGS, nullptr};
  auto callback = owned_or_pending(PyCFunction_NewEx(&on_exit, nullptr, nullptr));
  if (!callback) return std::unexpected(std::move(callback.error()));
  auto atexit = owned_or_pending(PyImport_ImportModule("atexit"));
  if (!atexit) return std::unexpected(std::move(atexit.error()));
  auto registered = owned_or_pending(PyObject_CallMethod(atexit->get(), "register", "O", callback->get()));
  if (!registered) return std::unexpected(std::move(registered.error()));
  return {};
}

Suspension::Suspension() noexcept : saved_depth_(std::exchange(lock_depth, 0)), thread_state_(PyEval_SaveThread()) {}

void Suspension::resume() {
  lock_depth = saved_depth_;
  PyEval_RestoreThread(std::exchange(thread_state_, nullptr));
  drain_pending_releases();
}

Suspension::~Suspension() {
  if (thread_state_ != nullptr) resume();
}

}  // namespace gil

void drop_reference(PyObject* object) noexcept {
  if (gil::depth() >= 1 && !gil::interpreter_exiting()) {
    Py_DecRef(object);
  } else {
    gil::queue_release(object);
  }
}

}  // namespace quellgate
