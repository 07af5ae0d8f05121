#include "limiters/async_admission.hpp"

#include "limiters/blocking_admission.hpp"
#include "limiters/home_lock.hpp"
#include "limiters/limiter_waits.hpp"
#include "engine/admission.hpp"
#include "executor/clock.hpp"
#include "limiters/server_attempt.hpp"

namespace quellgate {

executor::Task<Result<std::optional<engine::BurstPermit>>> admit_in_job(engine::LimiterCore core,
                                                                        AdmissionRequest request,
                                                                        std::chrono::nanoseconds* decided_at) {
  engine::Admission outcome;
  if (request.waits_on(core)) {
    Result<engine::Admission> waited = co_await admit_waiting_in_job(core, request, decided_at);
    if (!waited) co_return std::unexpected(std::move(waited.error()));
    outcome = *waited;
  } else if (asks_a_server(core)) {
    outcome = co_await try_admit_at_server(core, request.cost, decided_at);
  } else {
    for (;;) {
      outcome = engine::try_admit(core, executor::wall_now(), request.cost, decided_at);
      if (outcome != engine::Admission::interrupted || !lock_was_busy(core)) break;
      if (auto waited = co_await wait_for_home_lock_in_job(core); !waited) co_return std::unexpected(std::move(waited.error()));
    }
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
