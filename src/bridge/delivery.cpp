#include "bridge/delivery.hpp"

#include "bridge/asyncio_lookups.hpp"
#include "frame/boundary.hpp"
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

// CheckedCompletor, on the loop thread: completes the Future unless it was
// cancelled after the worker looked. Called as (future, complete, value);
// true when it completed the Future.
Result<bool> complete_unless_cancelled(PyObject* args) {
  auto was_cancelled = cancelled(PyTuple_GetItem(args, 0));
  if (!was_cancelled) return was_cancelled;
  if (*was_cancelled) return false;
  auto completed = owned_or_pending(PyObject_CallFunctionObjArgs(PyTuple_GetItem(args, 1), PyTuple_GetItem(args, 2), nullptr));
  if (!completed) return std::unexpected(std::move(completed.error()));
  return true;
}

// The completor for an admission that took a burst permit: the caller holds
// the permit only once the value is in the Future.
class PermitCarryingCompletor final : public Closure {
 public:
  explicit PermitCarryingCompletor(engine::BurstPermit permit) : permit_(std::move(permit)) {}

  Result<PyRef> call(PyObject* args, PyObject*) override {
    auto completed = complete_unless_cancelled(args);
    if (!completed) return std::unexpected(std::move(completed.error()));
    if (*completed) permit_.hand_over();
    return PyRef::borrow(Py_None);
  }

  // Scheduling failed: the caller never gets the value, so neither does it
  // get the permit. Given back now rather than when this object dies, which
  // a printed traceback (sys.last_traceback) can put off indefinitely.
  void give_back_permit() noexcept { engine::BurstPermit released(std::move(permit_)); }

 private:
  engine::BurstPermit permit_;
};

// Every other delivery shares one stateless completor.
PyObject* shared_completor_call(PyObject*, PyObject* args) {
  return boundary([&]() -> Result<PyRef> {
    auto completed = complete_unless_cancelled(args);
    if (!completed) return std::unexpected(std::move(completed.error()));
    return PyRef::borrow(Py_None);
  });
}

Result<PyRef> shared_completor() {
  static PyMethodDef definition = {"CheckedCompletor", shared_completor_call, METH_VARARGS, nullptr};
  static PyObject* completor = nullptr;  // made once under the interpreter lock, kept
  if (completor == nullptr) {
    completor = PyCFunction_NewEx(&definition, nullptr, nullptr);
    if (completor == nullptr) return take_pending();
  }
  return PyRef::borrow(completor);
}

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
  auto complete = owned_or_pending(PyObject_GetAttr(future, interned_name(succeeded ? "set_result" : "set_exception")));
  if (!complete) return std::unexpected(std::move(complete.error()));
  PermitCarryingCompletor* carrier = nullptr;
  Result<PyRef> completor = [&] {
    if (!permit || !permit->holds_permit()) return shared_completor();
    auto state = std::make_unique<PermitCarryingCompletor>(std::move(*permit));
    carrier = state.get();
    return make_closure(std::move(state));
  }();
  if (!completor) return std::unexpected(std::move(completor.error()));
  auto kwargs = no_context_kwargs();
  if (!kwargs) return std::unexpected(std::move(kwargs.error()));
  auto args = owned_or_pending(PyTuple_Pack(4, completor->get(), future, complete->get(), argument.get()));
  if (!args) return std::unexpected(std::move(args.error()));
  auto scheduled = call_method(event_loop, "call_soon_threadsafe", args->get(), *kwargs);
  if (!scheduled) {
    if (carrier != nullptr) carrier->give_back_permit();
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

void deliver(PyObject* event_loop, PyObject* future, Outcome outcome) {
  if (auto scheduled = schedule_completion(event_loop, future, std::move(outcome)); !scheduled) {
    print_error(std::move(scheduled.error()));
  }
}

}  // namespace quellgate::bridge
