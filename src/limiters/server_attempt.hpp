#pragma once
// The attempts of a job whose limiter keeps its counts at a server: sent
// through the home's admit_async, so that the job holds no thread, and the
// many jobs of a process share the home's pipelined connection.
#include <chrono>
#include <cstdint>

#include "engine/admission.hpp"
#include "engine/count_home.hpp"
#include "engine/limiter_core.hpp"
#include "executor/task.hpp"

namespace quellgate {

// Whether the limiter's home must ask a server (see CountHome::decides_at_once).
inline bool asks_a_server(const engine::LimiterCore& core) noexcept {
  return core.home() != nullptr && !core.home()->decides_at_once();
}

// One all-or-nothing attempt, awaited; only inside a job, only when
// asks_a_server. Admitted leaves the permit held, as try_admit does. A job
// destroyed before the answer came gives back the permit the answer brings.
// With `cost`; when admitted, `decided_at` (if given; it must outlive the
// job) receives the server's reading that decided.
executor::Task<engine::Admission> try_admit_at_server(engine::LimiterCore core, std::uint64_t cost = 1,
                                                      std::chrono::nanoseconds* decided_at = nullptr);

// What the home reads ahead for a report, awaited as an attempt is; for
// CountHome::use_reading just before the report is made.
executor::Task<engine::CountHome::Reading> read_ahead_at_server(engine::LimiterCore core);

// Gives one burst permit back, awaited until the server has answered (or
// the timeout passed); only inside a job, only when asks_a_server. A job
// destroyed meanwhile leaves the release on its way.
executor::Task<void> release_at_server(engine::LimiterCore core);

// A reservation's settlement (CountHome::settle), awaited until the server
// has answered; only inside a job, only when asks_a_server.
executor::Task<void> settle_at_server(engine::LimiterCore core, std::chrono::nanoseconds decided_at, std::int64_t delta);

// The next step of a waiting admission's loop, its attempt made as above.
executor::Task<engine::AdmissionStep> next_step_at_server(engine::AdmissionLoop& loop, engine::LimiterCore core);

}  // namespace quellgate
