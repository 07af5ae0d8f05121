#pragma once
#include <cstdint>

#include "engine/limiter_core.hpp"
#include "frame/error.hpp"

namespace quellgate {

// One admission on the calling thread, with the interpreter lock released
// for all of it: true when admitted, false when a non-blocking limiter
// refuses, KeyboardInterrupt "Operation interrupted" when the wait was
// interrupted. An admission that ends in an interruption holds no permit.
Result<bool> admit_on_this_thread(const engine::LimiterCore& core);

// The blocking loop's sleep: slices of at most 10 ms watching the interrupt
// flag, and the interpreter's signal handlers once a step has slept 500 ms.
// Runs without the interpreter lock; true when interrupted.
bool interruptible_sleep(std::uint32_t milliseconds, const engine::LimiterCore& core);

PyError operation_interrupted();

}  // namespace quellgate
