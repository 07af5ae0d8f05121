#include "bridge/admission_future.hpp"

#include <optional>
#include <string>
#include <utility>

#include "bridge/asyncio_lookups.hpp"
#include "bridge/ready_future.hpp"
#include "frame/closure.hpp"

namespace quellgate::bridge {
namespace {

// Written in Python because an admission Future needs a generator-based
// __await__ that the interpreter suspends and resumes: the C Future's own
// iterator does the waiting, this only watches how the await ends. Only a
// wait that hands over a burst permit pays for that; any other wait gets a
// StoppableFuture, which only makes cancel() stop the wait, and an outcome
// known at once is returned in a plain, already completed Future; one that
// carries a burst permit in an ImmediateAdmissionFuture, which only watches
// for the read that hands the permit over.
constexpr const char* kAdmissionFutureSource = R"(
from asyncio import CancelledError, Future

class StoppableFuture(Future):
    __slots__ = ("_quellgate_stop",)

    def __init__(self, *, loop, stop):
        Future.__init__(self, loop=loop)
        # Abandons the wait behind this Future. Called by cancel() itself
        # rather than from a done-callback, which every delivered outcome
        # would pay for with a callback scheduled on the loop.
        self._quellgate_stop = stop

    def _quellgate_stop_wait(self):
        stop = self._quellgate_stop
        if stop is not None:
            self._quellgate_stop = None
            stop()

    def cancel(self, *args, **kwargs):
        if not Future.cancel(self, *args, **kwargs):
            return False
        self._quellgate_stop_wait()
        return True

class AdmissionFuture(StoppableFuture):
    __slots__ = ("_quellgate_permit", "_quellgate_awaiters")

    def __init__(self, *, loop, stop):
        Future.__init__(self, loop=loop)  # not through StoppableFuture's: one frame less
        self._quellgate_stop = stop
        # None, or what holds the landed permit until the admission is read
        # (called with False it gives the permit back, with True it leaves it
        # to the reader; collected uncalled, it gives it back), or False once
        # it was given back unread.
        self._quellgate_permit = None
        self._quellgate_awaiters = 0  # awaits of this Future in progress

    def _quellgate_give_back(self):
        permit = self._quellgate_permit
        if permit:
            self._quellgate_permit = False
            permit(False)

    def _quellgate_claim(self):
        permit = self._quellgate_permit
        if permit is False:
            raise CancelledError()  # cancelled unread: the permit went back then
        if permit is not None:
            self._quellgate_permit = None
            permit(True)

    def __await__(self):
        self._quellgate_awaiters += 1
        try:
            value = yield from Future.__await__(self)
        except BaseException:
            # The awaiter is leaving: a landed admission goes back, a pending
            # one is cancelled so that its delivery is dropped.
            self._quellgate_give_back()
            if Future.cancel(self):
                self._quellgate_stop_wait()
            raise
        finally:
            self._quellgate_awaiters -= 1
        self._quellgate_claim()
        return value

    __iter__ = __await__

    # A task reads the result of what it awaits before it resumes, so a read
    # during an await decides nothing: the await does.
    def result(self):
        value = Future.result(self)
        if not self._quellgate_awaiters:
            self._quellgate_claim()
        return value

    # Cancelling a completed Future returns False and changes nothing, so
    # whoever does it to an admission nobody reads or awaits (wait_for before
    # 3.12 when its own task is cancelled, gather) would drop the permit. An
    # await in progress decides for itself: it gets the admission, or gives
    # it back when the cancellation is thrown into it.
    def cancel(self, *args, **kwargs):
        if not self._quellgate_awaiters:
            self._quellgate_give_back()
        return StoppableFuture.cancel(self, *args, **kwargs)

# An admission decided at the call, done when the caller gets it, and so
# never awaited across a suspension: reading it, by an await or result(),
# is all that can happen to it. Cancelling it changes nothing, as for any
# completed Future. The permit is set right after construction.
class ImmediateAdmissionFuture(Future):
    __slots__ = ("_quellgate_permit",)

    def __await__(self):
        permit = self._quellgate_permit
        if permit is not None:
            self._quellgate_permit = None
            permit(True)
        return Future.__await__(self)

    __iter__ = __await__

    def result(self):
        permit = self._quellgate_permit
        if permit is not None:
            self._quellgate_permit = None
            permit(True)
        return Future.result(self)
)";

// The classes, made once under the interpreter lock and kept.
struct WaitFutureClasses {
  PyObject* stoppable = nullptr;
  PyObject* admission = nullptr;
  PyObject* immediate_admission = nullptr;
};
WaitFutureClasses wait_future_classes;

Result<PyObject*> class_defined_in(PyObject* globals, const char* name) {
  PyObject* made = PyDict_GetItemString(globals, name);  // borrowed
  if (made == nullptr) return error(system_error, std::string(name) + " was not defined");
  return PyRef::borrow(made).release();
}

Result<WaitFutureClasses> wait_future_classes_made() {
  if (wait_future_classes.immediate_admission != nullptr) return wait_future_classes;
  auto code = owned_or_pending(Py_CompileString(kAdmissionFutureSource, "<quellgate>", Py_file_input));
  if (!code) return std::unexpected(std::move(code.error()));
  auto globals = owned_or_pending(PyDict_New());
  if (!globals) return std::unexpected(std::move(globals.error()));
  if (PyDict_SetItemString(globals->get(), "__builtins__", PyEval_GetBuiltins()) != 0) return take_pending();
  auto module_name = owned_or_pending(PyUnicode_FromString("quellgate"));
  if (!module_name) return std::unexpected(std::move(module_name.error()));
  if (PyDict_SetItemString(globals->get(), "__name__", module_name->get()) != 0) return take_pending();
  auto ran = owned_or_pending(PyEval_EvalCode(code->get(), globals->get(), globals->get()));
  if (!ran) return std::unexpected(std::move(ran.error()));
  auto stoppable = class_defined_in(globals->get(), "StoppableFuture");
  if (!stoppable) return std::unexpected(std::move(stoppable.error()));
  auto admission = class_defined_in(globals->get(), "AdmissionFuture");
  if (!admission) return std::unexpected(std::move(admission.error()));
  auto immediate_admission = class_defined_in(globals->get(), "ImmediateAdmissionFuture");
  if (!immediate_admission) return std::unexpected(std::move(immediate_admission.error()));
  wait_future_classes = {*stoppable, *admission, *immediate_admission};
  return wait_future_classes;
}

// What holds an admission Future's permit until the admission is read:
// called with True, the reader holds the permit from then on; with False, or
// collected uncalled (nobody will ever read the admission), it goes back.
class LandedPermit final : public Closure {
 public:
  explicit LandedPermit(engine::BurstPermit permit) { permit_.emplace(std::move(permit)); }

  Result<PyRef> call(PyObject* args, PyObject*) override {
    if (PyTuple_Size(args) != 1) return error(type_error, "a landed permit is called with whether it was read");
    const int read = PyObject_IsTrue(PyTuple_GetItem(args, 0));
    if (read < 0) return take_pending();
    if (permit_ && read == 1) permit_->hand_over();
    permit_.reset();
    return PyRef::borrow(Py_None);
  }

 private:
  std::optional<engine::BurstPermit> permit_;
};

// What a cancelled admission Future calls, once, to abandon its job.
class JobStop final : public Closure {
 public:
  explicit JobStop(std::shared_ptr<executor::CancelSignal> job) : job_(std::move(job)) {}

  Result<PyRef> call(PyObject*, PyObject*) override {
    if (job_) std::exchange(job_, nullptr)->cancel();
    return PyRef::borrow(Py_None);
  }

 private:
  std::shared_ptr<executor::CancelSignal> job_;
};

}  // namespace

Result<PyRef> new_wait_future(PyObject* event_loop, std::shared_ptr<executor::CancelSignal> job, WaitFuture kind) {
  auto classes = wait_future_classes_made();
  if (!classes) return std::unexpected(std::move(classes.error()));
  auto stop = make_closure(std::make_unique<JobStop>(std::move(job)));
  if (!stop) return stop;
  auto args = empty_tuple();
  if (!args) return args;
  auto kwargs = owned_or_pending(PyDict_New());
  if (!kwargs) return kwargs;
  if (PyDict_SetItem(kwargs->get(), interned_name("loop"), event_loop) != 0) return take_pending();
  if (PyDict_SetItem(kwargs->get(), interned_name("stop"), stop->get()) != 0) return take_pending();
  PyObject* type = kind == WaitFuture::admission ? classes->admission : classes->stoppable;
  return owned_or_pending(PyObject_Call(type, args->get(), kwargs->get()));
}

Result<PyRef> completed_admission_future(PyObject* event_loop, engine::BurstPermit permit) {
  auto classes = wait_future_classes_made();
  if (!classes) return std::unexpected(std::move(classes.error()));
  auto landed = make_closure(std::make_unique<LandedPermit>(std::move(permit)));
  if (!landed) return landed;
  // All in C: no Python frame runs until the caller reads the admission.
  auto future = future_of_class(classes->immediate_admission, event_loop);
  if (!future) return future;
  auto unit = empty_tuple();
  if (!unit) return unit;
  if (auto set = call_method_one(future->get(), "set_result", unit->get()); !set) return set;
  if (PyObject_SetAttr(future->get(), interned_name("_quellgate_permit"), landed->get()) != 0) return take_pending();
  return future;
}

Result<void> hand_permit_to(PyObject* future, engine::BurstPermit permit) {
  auto classes = wait_future_classes_made();
  if (!classes) return std::unexpected(std::move(classes.error()));
  const int is_admission_future = PyObject_IsInstance(future, classes->admission);
  if (is_admission_future < 0) return take_pending();
  if (is_admission_future == 0) {
    permit.hand_over();
    return {};
  }
  auto give_back = make_closure(std::make_unique<LandedPermit>(std::move(permit)));
  if (!give_back) return std::unexpected(std::move(give_back.error()));
  if (PyObject_SetAttr(future, interned_name("_quellgate_permit"), give_back->get()) != 0) return take_pending();
  return {};
}

}  // namespace quellgate::bridge
