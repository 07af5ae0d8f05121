#include "bridge/delivery.hpp"

#include "bridge/asyncio_lookups.hpp"
#include "closure.hpp"

namespace quellgate::bridge {
namespace {

// Runs on the loop thread: completes the Future unless it was cancelled
// after the worker looked. Called as (future, complete, value).
class CheckedCompletor final : public Closure {
 public:
  explicit CheckedCompletor(std::optional<engine::BurstPermit> permit) : permit_(std::move(permit)) {}

  Result<PyRef> call(PyObject* args, PyObject*) override {
    PyObject* future = PyTuple_GetItem(args, 0);
    PyObject* complete = PyTuple_GetItem(args, 1);
    PyObject* value = PyTuple_GetItem(args, 2);
    auto cancelled = call_method(future, "cancelled");
    if (!cancelled) return cancelled;
    const int truth = PyObject_IsTrue(cancelled->get());
    if (truth < 0) return take_pending();
    if (truth == 0) {
      auto completed = owned_or_pending(PyObject_CallFunctionObjArgs(complete, value, nullptr));
      if (!completed) return completed;
      if (permit_) permit_->hand_over();
    }
    return PyRef::borrow(Py_None);
  }

  // Scheduling failed: the caller never gets the value, so neither does it
  // get the permit. Given back now rather than when this object dies, which
  // a printed traceback (sys.last_traceback) can put off indefinitely.
  void give_back_permit() noexcept { permit_.reset(); }

 private:
  std::optional<engine::BurstPermit> permit_;
};

Result<void> schedule_completion(PyObject* event_loop, PyObject* future, Outcome outcome) {
  const bool succeeded = outcome.has_value();
  std::optional<engine::BurstPermit> permit;
  PyRef argument;
  if (succeeded) {
    argument = std::move(outcome->value);
    if (outcome->permit) permit.emplace(std::move(*outcome->permit));
  } else {
    argument = std::move(outcome.error()).into_value();
  }
  auto complete = owned_or_pending(PyObject_GetAttrString(future, succeeded ? "set_result" : "set_exception"));
  if (!complete) return std::unexpected(std::move(complete.error()));
  auto completor_state = std::make_unique<CheckedCompletor>(std::move(permit));
  CheckedCompletor& checked = *completor_state;
  auto completor = make_closure(std::move(completor_state));
  if (!completor) return std::unexpected(std::move(completor.error()));
  auto kwargs = owned_or_pending(PyDict_New());
  if (!kwargs) return std::unexpected(std::move(kwargs.error()));
  if (PyDict_SetItemString(kwargs->get(), "context", Py_None) != 0) return take_pending();
  auto args = owned_or_pending(PyTuple_Pack(4, completor->get(), future, complete->get(), argument.get()));
  if (!args) return std::unexpected(std::move(args.error()));
  auto scheduled = call_method(event_loop, "call_soon_threadsafe", args->get(), kwargs->get());
  if (!scheduled) {
    checked.give_back_permit();
    return std::unexpected(std::move(scheduled.error()));
  }
  return {};
}

}  // namespace

bool is_cancelled(PyObject* future) {
  auto cancelled = call_method(future, "cancelled");
  if (!cancelled) {
    print_error(std::move(cancelled.error()));
    return false;
  }
  const int truth = PyObject_IsTrue(cancelled->get());
  if (truth < 0) {
    print_error(take_pending_error());
    return false;
  }
  return truth == 1;
}

void deliver(PyObject* event_loop, PyObject* future, Outcome outcome) {
  if (auto scheduled = schedule_completion(event_loop, future, std::move(outcome)); !scheduled) {
    print_error(std::move(scheduled.error()));
  }
}

}  // namespace quellgate::bridge
