#pragma once
#include <optional>

#include "engine/burst.hpp"
#include "engine/limiter_core.hpp"
#include "frame/error.hpp"
#include "executor/executor.hpp"

namespace quellgate {

// An admission as a job: the permit when admitted, nothing when a
// non-blocking limiter refuses, KeyboardInterrupt "Operation interrupted"
// when the window table is broken. Waits sleep on the executor's timer and
// hold no thread; a release ends a burst wait's sleep early. Destroying the
// job mid-wait gives back any permit it took.
executor::Task<Result<std::optional<engine::BurstPermit>>> admit_in_job(engine::LimiterCore core);

}  // namespace quellgate
