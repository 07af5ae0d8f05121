#include "bridge/bridge_start.hpp"

#include "bridge/asyncio_lookups.hpp"
#include "frame/classes.hpp"
#include "frame/closure.hpp"

namespace quellgate::bridge::detail {
namespace {

// The Future's done-callback: a cancelled Future abandons its job at the
// job's next suspension point.
class PyDoneCallback final : public Closure {
 public:
  explicit PyDoneCallback(std::shared_ptr<executor::CancelSignal> signal) : signal_(std::move(signal)) {}

  Result<PyRef> call(PyObject* args, PyObject*) override {
    if (signal_ && is_cancelled(PyTuple_GetItem(args, 0))) std::exchange(signal_, nullptr)->cancel();
    return PyRef::borrow(Py_None);
  }

 private:
  std::shared_ptr<executor::CancelSignal> signal_;
};

}  // namespace

Result<PyRef> future_cancelling(PyObject* event_loop, std::shared_ptr<executor::CancelSignal> job) {
  auto future = call_method(event_loop, "create_future");
  if (!future) return future;
  auto callback = make_closure(std::make_unique<PyDoneCallback>(std::move(job)));
  if (!callback) return callback;
  auto args = owned_or_pending(PyTuple_Pack(1, callback->get()));
  if (!args) return args;
  if (auto added = call_method(future->get(), "add_done_callback", args->get()); !added) return added;
  return future;
}

PyError rust_panic(const std::optional<std::string>& message) {
  return PyError::deferred([] { return *rust_panic_class(); }, "rust future panicked: " + message.value_or("unknown error"));
}

}  // namespace quellgate::bridge::detail
