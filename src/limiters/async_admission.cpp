#include "limiters/async_admission.hpp"

#include <chrono>

#include "limiters/blocking_admission.hpp"
#include "engine/admission.hpp"
#include "executor/clock.hpp"

namespace quellgate {

executor::Task<Result<std::optional<engine::BurstPermit>>> admit_in_job(engine::LimiterCore core) {
  if (!core.blocking()) {
    switch (engine::try_admit(core, executor::wall_now())) {
      case engine::Admission::admitted:
        co_return engine::BurstPermit(core);
      case engine::Admission::refused:
        co_return std::nullopt;
      case engine::Admission::interrupted:
        co_return std::unexpected(operation_interrupted());
    }
  }
  engine::AdmissionLoop loop(core);
  for (;;) {
    const engine::AdmissionStep step = loop.next(executor::wall_now());
    switch (step.kind) {
      case engine::AdmissionStep::Kind::admitted:
        co_return engine::BurstPermit(core);
      case engine::AdmissionStep::Kind::interrupted:
        co_return std::unexpected(operation_interrupted());
      case engine::AdmissionStep::Kind::sleep:
        co_await executor::sleep(std::chrono::milliseconds(step.sleep_ms));
        break;
    }
  }
}

}  // namespace quellgate
