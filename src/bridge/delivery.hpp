#pragma once
#include <optional>

#include "engine/burst.hpp"
#include "frame/error.hpp"

namespace quellgate::bridge {

// What a job hands to its Future. An admission's burst permit travels with
// the value: the caller holds it only once the value is in the Future, so a
// delivery that never lands (the Future was cancelled, the loop was closed)
// gives the permit back instead of leaking it.
struct Delivery {
  PyRef value;
  std::optional<engine::BurstPermit> permit;
};
using Outcome = Result<Delivery>;

// future.cancelled(); an error is printed and counts as not cancelled.
bool is_cancelled(PyObject* future);

// Schedules the Future's completion on its loop's thread with
// call_soon_threadsafe (context=None). Errors are printed and dropped.
void deliver(PyObject* event_loop, PyObject* future, Outcome outcome);

}  // namespace quellgate::bridge
