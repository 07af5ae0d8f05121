#include "limiters/limiter_waits.hpp"

#include "executor/sleep.hpp"
#include "limiters/home_lock.hpp"
#include "limiters/server_attempt.hpp"

namespace quellgate {
namespace {

// A job sleeping on a limiter, woken by ending its timer sleep early.
class JobWaiter final : public engine::Waiter {
 public:
  explicit JobWaiter(executor::Sleep& sleep) noexcept : sleep_(sleep) {}
  void wake() noexcept override { sleep_.wake_early(); }

 private:
  executor::Sleep& sleep_;
};

}  // namespace

executor::Task<void> sleep_on_limiter_in_job(const engine::LimiterCore& core, engine::AdmissionStep step) {
  // Destroyed in reverse: off the list first, so no wake reaches the sleep
  // once it is gone. A job destroyed during the sleep passes on its wake.
  executor::Sleep pause(std::chrono::milliseconds(step.sleep_ms));
  JobWaiter waiter(pause);
  engine::WaitEnrolment enrolment(core, waiter, step.wake_on);
  if (engine::sleep_still_needed(core, step)) {
    // A release in another process reaches this job only through the home.
    if (core.home() != nullptr && step.wake_on == engine::WakeOn::release_or_interrupt) {
      core.home()->watch_releases_for(core, step.releases_seen);
    }
    co_await pause;
  }
  enrolment.will_try_again();
}

executor::Task<Result<engine::Admission>> admit_waiting_in_job(engine::LimiterCore core, AdmissionRequest request,
                                                               std::chrono::nanoseconds* decided_at) {
  engine::AdmissionLoop loop(core, request.cost);
  bound_by_timeout(loop, request);
  const bool at_server = asks_a_server(core);
  for (;;) {
    const engine::AdmissionStep step =
        at_server ? co_await next_step_at_server(loop, core) : loop.next(executor::wall_now());
    switch (step.kind) {
      case engine::AdmissionStep::Kind::admitted:
        if (decided_at != nullptr) *decided_at = loop.decided_at();
        co_return engine::Admission::admitted;
      case engine::AdmissionStep::Kind::refused:
        co_return engine::Admission::refused;
      case engine::AdmissionStep::Kind::interrupted:
        // Taken on the thread that made the attempt, before any await.
        if (!at_server && lock_was_busy(core)) {
          if (auto waited = co_await wait_for_home_lock_in_job(core); !waited) co_return std::unexpected(std::move(waited.error()));
          break;
        }
        co_return engine::Admission::interrupted;
      case engine::AdmissionStep::Kind::sleep:
        co_await sleep_on_limiter_in_job(core, step);
        break;
    }
  }
}

}  // namespace quellgate
