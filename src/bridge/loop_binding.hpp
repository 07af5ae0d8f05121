#pragma once
#include <memory>

#include "frame/error.hpp"

namespace quellgate::bridge {

// The event loop running at an asynchronous call and the contextvars
// context copied there; a job keeps its binding for its whole life.
struct LoopBinding {
  PyRef event_loop;
  PyRef context;  // null for a job that runs no Python code
};

// Whether a job runs Python code, which then runs in a copy of its caller's
// context, or only waits and computes in C++.
enum class CallerContext { copied, not_needed };

// Inside a job: that job's binding. Otherwise the running loop (or its
// RuntimeError) with a copy of the current context; without one, a binding
// made once per loop and shared, so that a wait allocates no binding and no
// context of its own. Interpreter lock held.
Result<std::shared_ptr<LoopBinding>> current_binding(CallerContext needs = CallerContext::copied);

// For a call that may decide on the spot: the running loop, with the
// background executor built first, so that a broken worker configuration
// fails every asynchronous call alike, whether it waits or not (a fault,
// raised as PanicException). A null reference inside a job: that call runs
// on a worker, off its loop's thread, and takes the job's way.
Result<PyRef> loop_of_calling_thread();

}  // namespace quellgate::bridge
