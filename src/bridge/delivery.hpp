#pragma once
#include <functional>
#include <memory>
#include <optional>

#include "bridge/loop_binding.hpp"
#include "engine/burst.hpp"
#include "frame/error.hpp"

namespace quellgate::bridge {

struct Delivery;

// Replaces the plain completion of a Future on the loop's thread, for a
// delivery that starts more work there (a decorated coroutine's task). Runs
// only for a Future that was not cancelled; whatever it does not take from
// the delivery is dropped with it, so an untaken permit goes back.
using Landing = Result<void> (*)(PyObject* future, Delivery&& delivery);

// What a job hands to its Future. An admission's burst permit travels with
// the value: the caller holds it only once the value is in the Future, so a
// delivery that never lands (the Future was cancelled, the loop was closed)
// gives the permit back instead of leaking it.
struct Delivery {
  PyRef value;
  std::optional<engine::BurstPermit> permit;
  Landing landing = nullptr;
};
using Outcome = Result<Delivery>;

// future.cancelled(); an error is printed and counts as not cancelled.
bool is_cancelled(PyObject* future);

// Makes a job's outcome into what its Future receives; called on the loop's
// thread with the interpreter lock held, only for a Future not cancelled by
// then. Dropped uncalled, it drops the outcome (and gives its permit back).
using Completion = std::move_only_function<Outcome()>;

// Queues the Future's completion for its loop's thread, from any thread,
// taking the interpreter lock only to schedule a drain when the loop has none
// on its way: completions queued for one loop before it gets round to them
// share one call_soon_threadsafe, so a rollover that admits thousands of
// waiters wakes the loop once and costs its workers no lock hand-off each.
// Each completion is still checked for cancellation when it lands; errors
// are printed, never raised. A loop that is closed drops what comes for it
// (permits go back): reported in one line when the loop refuses the drain,
// unreported when the loop was closed with the drain already queued.
void deliver(std::shared_ptr<LoopBinding> binding, PyRef future, Completion completion);

// The Future's completion on its own loop's thread, now: the landing, or
// set_result / set_exception with an admission's permit handed to the
// Future. Errors are returned; the Future must not be cancelled.
Result<void> complete_now(PyObject* future, Outcome outcome);

}  // namespace quellgate::bridge
