#include "bridge/delivery.hpp"

#include <algorithm>
#include <vector>

#include "bridge/asyncio_lookups.hpp"
#include "bridge/admission_future.hpp"
#include "frame/closure.hpp"

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
  Outcome outcome;
};

class MailboxDrain;

// Loops that have completions queued and a drain on its way, keyed by the
// loop's address (kept valid by the drain's reference to it). Guarded by the
// interpreter lock: it is touched only between Python calls, never across one.
std::vector<MailboxDrain*> open_mailboxes;

// The one callback that a loop runs for every batch of completions: takes
// the queue as it is when it runs, so completions queued while it works
// (another worker got the lock meanwhile) go to a fresh drain.
class MailboxDrain final : public Closure {
 public:
  explicit MailboxDrain(PyRef event_loop) : event_loop_(std::move(event_loop)) {}
  ~MailboxDrain() override { close(); }  // never ran (the loop closed first): permits go back

  static MailboxDrain* open_for(PyObject* event_loop) {
    for (MailboxDrain* drain : open_mailboxes) {
      if (drain->event_loop_.get() == event_loop) return drain;
    }
    return nullptr;
  }

  void queue(PyRef future, Outcome outcome) { queued_.push_back({std::move(future), std::move(outcome)}); }

  void open() { open_mailboxes.push_back(this); }

  // Leaves the registry and drops what is still queued.
  void close() noexcept {
    if (auto place = std::find(open_mailboxes.begin(), open_mailboxes.end(), this); place != open_mailboxes.end()) {
      open_mailboxes.erase(place);
    }
    queued_.clear();
  }

  Result<PyRef> call(PyObject*, PyObject*) override {
    std::vector<QueuedCompletion> batch = std::move(queued_);
    close();
    for (QueuedCompletion& completion : batch) land(completion);
    return PyRef::borrow(Py_None);
  }

 private:
  static void land(QueuedCompletion& completion) {
    // Cancelled after its worker looked: the outcome, and any permit in it, is dropped.
    if (is_cancelled(completion.future.get())) return;
    if (auto done = complete_now(completion.future.get(), std::move(completion.outcome)); !done) {
      print_error(std::move(done.error()));
    }
  }

  PyRef event_loop_;
  std::vector<QueuedCompletion> queued_;
};

Result<void> schedule_drain(PyObject* event_loop, PyObject* drain) {
  auto kwargs = no_context_kwargs();
  if (!kwargs) return std::unexpected(std::move(kwargs.error()));
  auto args = owned_or_pending(PyTuple_Pack(1, drain));
  if (!args) return std::unexpected(std::move(args.error()));
  if (auto scheduled = call_method(event_loop, "call_soon_threadsafe", args->get(), *kwargs); !scheduled) {
    return std::unexpected(std::move(scheduled.error()));
  }
  return {};
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

void deliver(PyObject* event_loop, PyObject* future, Outcome outcome) {
  if (MailboxDrain* drain = MailboxDrain::open_for(event_loop)) {
    drain->queue(PyRef::borrow(future), std::move(outcome));
    return;
  }
  auto state = std::make_unique<MailboxDrain>(PyRef::borrow(event_loop));
  MailboxDrain* drain = state.get();
  drain->queue(PyRef::borrow(future), std::move(outcome));
  auto callable = make_closure(std::move(state));
  if (!callable) {
    print_error(std::move(callable.error()));  // `state` was destroyed with its queue: permits back
    return;
  }
  // Open before scheduling: scheduling runs Python code, and workers that get
  // the lock meanwhile add to this batch instead of scheduling their own.
  drain->open();
  if (auto scheduled = schedule_drain(event_loop, callable->get()); !scheduled) {
    // The loop is closed: what was queued here is dropped now (permits back)
    // rather than when the callable dies, which a printed traceback can put off.
    drain->close();
    print_error(std::move(scheduled.error()));
  }
}

}  // namespace quellgate::bridge
