#pragma once
#include <memory>

#include "frame/error.hpp"

namespace quellgate::bridge {

// The event loop running at an asynchronous call and the contextvars
// context copied there; a job keeps its binding for its whole life.
struct LoopBinding {
  PyRef event_loop;
  PyRef context;
};

// Inside a job: that job's binding. Otherwise the running loop (or its
// RuntimeError) and a copy of the current context. Interpreter lock held.
Result<std::shared_ptr<LoopBinding>> current_binding();

}  // namespace quellgate::bridge
