#include "limiters/limiter_waits.hpp"

#include "executor/sleep.hpp"

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

// A job woken for a returned permit but cancelled before it could try for it
// passes the wake on, so the permit does not lie unnoticed until another
// waiter's step ends.
class PassOnUnusedWake {
 public:
  PassOnUnusedWake(const engine::LimiterCore& core, const executor::Sleep& sleep) noexcept
      : core_(core), sleep_(sleep) {}
  ~PassOnUnusedWake() {
    if (!used_ && sleep_.woken_early() && !core_.interrupted()) core_.waiters().wake_one_burst_waiter();
  }
  PassOnUnusedWake(const PassOnUnusedWake&) = delete;
  PassOnUnusedWake& operator=(const PassOnUnusedWake&) = delete;
  void used() noexcept { used_ = true; }

 private:
  const engine::LimiterCore& core_;
  const executor::Sleep& sleep_;
  bool used_ = false;
};

}  // namespace

executor::Task<void> sleep_on_limiter_in_job(const engine::LimiterCore& core, engine::AdmissionStep step) {
  // Destroyed in reverse: off the list first, so no wake reaches the sleep
  // once it is gone.
  executor::Sleep pause(std::chrono::milliseconds(step.sleep_ms));
  PassOnUnusedWake pass_on(core, pause);
  JobWaiter waiter(pause);
  const engine::WaitEnrolment enrolment(core, waiter, step.wake_on);
  if (engine::sleep_still_needed(core, step)) {
    // A release in another process reaches this job only through the home.
    if (core.home() != nullptr && step.wake_on == engine::WakeOn::release_or_interrupt) {
      core.home()->watch_releases_for(core, step.releases_seen);
    }
    co_await pause;
  }
  pass_on.used();
}

executor::Task<engine::Admission> admit_waiting_in_job(engine::LimiterCore core) {
  engine::AdmissionLoop loop(core);
  for (;;) {
    const engine::AdmissionStep step = loop.next(executor::wall_now());
    switch (step.kind) {
      case engine::AdmissionStep::Kind::admitted:
        co_return engine::Admission::admitted;
      case engine::AdmissionStep::Kind::interrupted:
        co_return engine::Admission::interrupted;
      case engine::AdmissionStep::Kind::sleep:
        co_await sleep_on_limiter_in_job(core, step);
        break;
    }
  }
}

}  // namespace quellgate
