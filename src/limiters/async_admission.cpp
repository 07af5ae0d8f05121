#include "limiters/async_admission.hpp"

#include "limiters/blocking_admission.hpp"
#include "limiters/limiter_waits.hpp"
#include "engine/admission.hpp"
#include "executor/clock.hpp"

namespace quellgate {

executor::Task<Result<std::optional<engine::BurstPermit>>> admit_in_job(engine::LimiterCore core) {
  const engine::Admission outcome =
      core.blocking() ? co_await admit_waiting_in_job(core) : engine::try_admit(core, executor::wall_now());
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
