#include "bridge/loop_binding.hpp"

#include "bridge/asyncio_lookups.hpp"
#include "executor/job_local.hpp"
#include "executor/shared_executor.hpp"

#include <atomic>

#include "executor/environment.hpp"

namespace quellgate::bridge {
namespace {

// asyncio.get_running_loop() on CPython 3.8-3.11 makes a getpid() system
// call every time (a loop inherited through fork does not count as running),
// and that call was the largest part of an immediate outcome. Those versions
// keep the running loop in a holder object in the thread's state dict, made
// anew whenever a loop starts or stops running on the thread (3.12 keeps the
// loop itself there, 3.13 elsewhere, and asking costs no system call: those
// ask every time). A thread that
// finds there the very holder it saw last time has the same running loop: the
// cache keeps that holder alive, so its address cannot come back as another.
// The cache lives in the thread's state dict too, so it goes with the thread;
// it keeps the thread's last loop alive until the thread runs another.
constexpr const char* kAsyncioRunningLoopKey = "__asyncio_running_event_loop__";
constexpr const char* kCacheKey = "quellgate.running_loop";

// A fork child has the parent's thread states but not its running loops:
// each fork starts a new generation, and a cache of an older one is stale.
// Relaxed: only the forking thread, alone in the child, changes it.
std::atomic<unsigned long> fork_generation{0};
thread_local unsigned long cached_generation = 0;
const bool fork_handler_registered = [] {
  executor::register_fork_child_handler([] { fork_generation.fetch_add(1, std::memory_order_relaxed); });
  return true;
}();

Result<PyRef> ask_asyncio() {
  auto get_running_loop = get_running_loop_function();
  if (!get_running_loop) return std::unexpected(std::move(get_running_loop.error()));
  return owned_or_pending(PyObject_CallObject(*get_running_loop, nullptr));
}

Result<PyRef> running_loop() {
  static const bool asked_cheaply = interpreter_at_least_3(12);
  if (asked_cheaply) return ask_asyncio();
  PyObject* state = PyThreadState_GetDict();  // borrowed
  if (state == nullptr) return ask_asyncio();
  PyObject* holder = PyDict_GetItemWithError(state, interned_name(kAsyncioRunningLoopKey));  // borrowed
  if (holder == nullptr && PyErr_Occurred()) return take_pending();
  const unsigned long generation = fork_generation.load(std::memory_order_relaxed);
  if (holder != nullptr && holder != Py_None && cached_generation == generation) {
    PyObject* cached = PyDict_GetItemWithError(state, interned_name(kCacheKey));  // borrowed
    if (cached == nullptr && PyErr_Occurred()) return take_pending();
    if (cached != nullptr && PyTuple_GetItem(cached, 0) == holder) return PyRef::borrow(PyTuple_GetItem(cached, 1));
  }
  auto loop = ask_asyncio();
  if (!loop || holder == nullptr || holder == Py_None) return loop;
  auto entry = owned_or_pending(PyTuple_Pack(2, holder, loop->get()));
  if (!entry) return entry;
  if (PyDict_SetItem(state, interned_name(kCacheKey), entry->get()) != 0) return take_pending();
  cached_generation = generation;
  return loop;
}

// The context-free binding of the last loop that asked, kept (and that loop
// with it) until another loop asks, as the running-loop cache does. Guarded
// by the interpreter lock; never destroyed, as workers may still hold it.
std::shared_ptr<LoopBinding> shared_binding_of(PyRef loop) {
  static auto* last = new std::shared_ptr<LoopBinding>();
  if (!*last || (*last)->event_loop.get() != loop.get()) *last = std::make_shared<LoopBinding>(LoopBinding{std::move(loop), PyRef()});
  return *last;
}

}  // namespace

Result<std::shared_ptr<LoopBinding>> current_binding(CallerContext needs) {
  if (auto bound = executor::current_job_local()) return std::static_pointer_cast<LoopBinding>(bound);
  auto loop = running_loop();
  if (!loop) return std::unexpected(std::move(loop.error()));
  if (needs == CallerContext::not_needed) return shared_binding_of(std::move(*loop));
  auto contextvars = contextvars_module();
  if (!contextvars) return std::unexpected(std::move(contextvars.error()));
  auto context = call_method(*contextvars, "copy_context");
  if (!context) return std::unexpected(std::move(context.error()));
  return std::make_shared<LoopBinding>(LoopBinding{std::move(*loop), std::move(*context)});
}

Result<PyRef> loop_of_calling_thread() {
  if (executor::current_job_local()) return PyRef();
  auto loop = running_loop();
  if (!loop) return loop;
  static_cast<void>(executor::shared_executor());
  return loop;
}

}  // namespace quellgate::bridge
