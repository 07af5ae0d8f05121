#include "bridge/delivery.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "bridge/asyncio_lookups.hpp"
#include "bridge/admission_future.hpp"
#include "executor/environment.hpp"
#include "frame/closure.hpp"
#include "frame/gil.hpp"

namespace quellgate::bridge {
namespace {

// future.cancelled() as a C++ truth value.
Result<bool> cancelled(PyObject* future) {
  auto answer = call_method(future, "cancelled");
  if (!answer) return std::unexpected(std::move(answer.error()));
  const int truth = PyObject_IsTrue(answer->get());
  if (truth < 0) return take_pending();
  return truth == 1;
}

struct QueuedCompletion {
  PyRef future;
  Completion completion;
  // The job's binding, so that its loop and context references die on the
  // loop's thread with the lock held rather than on a worker, where each
  // would be queued for release behind a shared mutex.
  std::shared_ptr<LoopBinding> binding;
};

// The completions queued for one loop while a drain is on its way there.
struct Mailbox {
  std::shared_ptr<LoopBinding> binding;  // keeps the loop, and so its address, alive
  std::vector<QueuedCompletion> queued;  // guarded by the registry's mutex
};

// Mailboxes with a drain on its way, found by their loop's address. The
// mutex is held only to find, fill or empty a mailbox: never across a Python
// call, never while waiting for the interpreter lock.
struct Registry {
  std::mutex mutex;
  std::vector<std::shared_ptr<Mailbox>> open;  // guarded by mutex
};

// Never destroyed (workers may deliver while the process exits). A forked
// child may have inherited the mutex held by a thread it does not have: it
// starts from a fresh registry, and the parent's is left as it was.
// Release when replaced, acquire when read.
std::atomic<Registry*> registry{new Registry};
const bool fork_handler_registered = [] {
  executor::register_fork_child_handler([] { registry.store(new Registry, std::memory_order_release); });
  return true;
}();

// Takes the mailbox out of the registry with whatever it holds.
std::vector<QueuedCompletion> close(const std::shared_ptr<Mailbox>& mailbox) {
  Registry& open = *registry.load(std::memory_order_acquire);
  std::vector<QueuedCompletion> taken;
  const std::lock_guard lock(open.mutex);
  if (auto place = std::find(open.open.begin(), open.open.end(), mailbox); place != open.open.end()) open.open.erase(place);
  taken.swap(mailbox->queued);
  return taken;
}

// What the mailbox holds, leaving it open; closed instead when it is empty.
std::vector<QueuedCompletion> take_or_close(const std::shared_ptr<Mailbox>& mailbox) {
  Registry& open = *registry.load(std::memory_order_acquire);
  std::vector<QueuedCompletion> taken;
  const std::lock_guard lock(open.mutex);
  if (mailbox->queued.empty()) {
    if (auto place = std::find(open.open.begin(), open.open.end(), mailbox); place != open.open.end()) open.open.erase(place);
  }
  taken.swap(mailbox->queued);
  return taken;
}

Result<void> schedule_drain(PyObject* event_loop, std::shared_ptr<Mailbox> mailbox, const char* scheduler);

// The callback that a loop runs for the completions queued for it. It lands
// what the mailbox holds and then runs again on the loop's next iteration
// with the mailbox left open, so that workers go on queueing without the
// interpreter lock while a rollover's admissions stream in: only a drain
// that finds the mailbox empty closes it, and the next completion schedules
// a fresh drain from its worker. That costs one empty callback per burst.
class MailboxDrain final : public Closure {
 public:
  explicit MailboxDrain(std::shared_ptr<Mailbox> mailbox) : mailbox_(std::move(mailbox)) {}
  // Never ran (the loop was closed with it queued): what it holds is dropped
  // unreported, permits back. This runs while the loop lets go of its queue,
  // inside a deallocation, where this module runs no Python code.
  ~MailboxDrain() override {
    if (mailbox_) close(mailbox_);
  }

  Result<PyRef> call(PyObject*, PyObject*) override {
    if (!mailbox_) return PyRef::borrow(Py_None);
    std::shared_ptr<Mailbox> mailbox = std::exchange(mailbox_, nullptr);
    std::vector<QueuedCompletion> batch = take_or_close(mailbox);
    if (batch.empty()) return PyRef::borrow(Py_None);
    for (QueuedCompletion& completion : batch) land(completion);
    batch.clear();
    PyObject* event_loop = mailbox->binding->event_loop.get();
    if (auto again = schedule_drain(event_loop, mailbox, "call_soon"); !again) {
      // Not on the loop any more: whatever came meanwhile is dropped, permits back.
      close(mailbox);
      return std::unexpected(std::move(again.error()));
    }
    return PyRef::borrow(Py_None);
  }

 private:
  static void land(QueuedCompletion& completion) {
    // Cancelled meanwhile: the outcome, and any permit in it, is dropped.
    if (is_cancelled(completion.future.get())) return;
    if (auto done = complete_now(completion.future.get(), completion.completion()); !done) {
      print_error(std::move(done.error()));
    }
  }

  std::shared_ptr<Mailbox> mailbox_;
};

// loop.call_soon_threadsafe(drain, context=None) from a worker, or
// loop.call_soon(...) from a drain on the loop's own thread.
Result<void> schedule_drain(PyObject* event_loop, std::shared_ptr<Mailbox> mailbox, const char* scheduler) {
  auto drain = make_closure(std::make_unique<MailboxDrain>(std::move(mailbox)));
  if (!drain) return std::unexpected(std::move(drain.error()));
  auto kwargs = no_context_kwargs();
  if (!kwargs) return std::unexpected(std::move(kwargs.error()));
  auto args = owned_or_pending(PyTuple_Pack(1, drain->get()));
  if (!args) return std::unexpected(std::move(args.error()));
  if (auto scheduled = call_method(event_loop, scheduler, args->get(), *kwargs); !scheduled) {
    return std::unexpected(std::move(scheduled.error()));
  }
  return {};
}

// Reports what a delivery to a loop that refused it dropped, before the
// permits go back, so that whoever waits for them has the report by then. A
// cancelled Future's outcome is dropped unreported, as on an open loop:
// asyncio.run cancels the waits it leaves behind before it closes the loop.
// A Future left waiting on a loop closed without that gets one line naming
// what was lost, not call_soon_threadsafe's traceback, which names neither
// this module nor the Future. Any other refusal is printed as it came.
void report_dropped(PyObject* event_loop, PyError failure, const std::vector<QueuedCompletion>& dropped) {
  const auto waiting = std::count_if(dropped.begin(), dropped.end(),
                                     [](const QueuedCompletion& item) { return !is_cancelled(item.future.get()); });
  if (waiting == 0) return;
  auto closed = call_method(event_loop, "is_closed");
  if (!closed || PyObject_IsTrue(closed->get()) != 1) {
    PyErr_Clear();
    print_error(std::move(failure));
    return;
  }
  // Python's own formatter: PySys_WriteStderr's is the C runtime's, and
  // Windows' older one has no %zd.
  PySys_FormatStderr("quellgate: %zd AsyncRateLimiter Future(s) left waiting on a closed event loop; their outcome was dropped "
                     "and any burst permit went back\n",
                     static_cast<Py_ssize_t>(waiting));
}

}  // namespace

bool is_cancelled(PyObject* future) {
  auto was_cancelled = cancelled(future);
  if (!was_cancelled) {
    print_error(std::move(was_cancelled.error()));
    return false;
  }
  return *was_cancelled;
}

Result<void> complete_now(PyObject* future, Outcome outcome) {
  if (!outcome) {
    PyRef exception = std::move(outcome.error()).into_value();
    if (auto set = call_method_one(future, "set_exception", exception.get()); !set) return std::unexpected(std::move(set.error()));
    return {};
  }
  if (outcome->landing != nullptr) return outcome->landing(future, std::move(*outcome));
  if (auto set = call_method_one(future, "set_result", outcome->value.get()); !set) return std::unexpected(std::move(set.error()));
  if (outcome->permit && outcome->permit->holds_permit()) return hand_permit_to(future, std::move(*outcome->permit));
  return {};
}

void deliver(std::shared_ptr<LoopBinding> binding, PyRef future, Completion completion) {
  std::shared_ptr<Mailbox> fresh;
  {
    Registry& open = *registry.load(std::memory_order_acquire);
    const std::lock_guard lock(open.mutex);
    PyObject* event_loop = binding->event_loop.get();
    for (const auto& mailbox : open.open) {
      if (mailbox->binding->event_loop.get() == event_loop) {
        mailbox->queued.push_back({std::move(future), std::move(completion), std::move(binding)});
        return;
      }
    }
    fresh = std::make_shared<Mailbox>(Mailbox{binding, {}});
    fresh->queued.push_back({std::move(future), std::move(completion), std::move(binding)});
    open.open.push_back(fresh);
  }
  // Only the first completion of a batch takes the interpreter lock.
  gil::with_gil([&] {
    PyObject* event_loop = fresh->binding->event_loop.get();
    if (auto scheduled = schedule_drain(event_loop, fresh, "call_soon_threadsafe"); !scheduled) {
      // What was queued is dropped here (permits back) rather than when the
      // drain dies, which a printed traceback could put off.
      std::vector<QueuedCompletion> dropped = close(fresh);
      report_dropped(event_loop, std::move(scheduled.error()), dropped);
    }
  });
}

}  // namespace quellgate::bridge
