#include "limiters/async_admission.hpp"

#include "limiters/blocking_admission.hpp"
#include "limiters/limiter_waits.hpp"
#include "engine/admission.hpp"
#include "executor/clock.hpp"
#include "limiters/server_attempt.hpp"

namespace quellgate {

executor::Task<Result<std::optional<engine::BurstPermit>>> admit_in_job(engine::LimiterCore core) {
  engine::Admission outcome;
  if (core.blocking()) {
    outcome = co_await admit_waiting_in_job(core);
  } else {
    outcome = asks_a_server(core) ? co_await try_admit_at_server(core) : engine::try_admit(core, executor::wall_now());
  }
  switch (outcome) {
    case engine::Admission::admitted:
      co_return engine::BurstPermit(core);
    case engine::Admission::refused:
      co_return std::nullopt;
    case engine::Admission::interrupted:
      break;
  }
  co_return std::unexpected(interruption_of(core));
}

}  // namespace quellgate
