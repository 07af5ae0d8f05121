#pragma once

#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>

#include "engine/burst.hpp"
#include "engine/count_home.hpp"
#include "engine/limiter_core.hpp"
#include "engine/waiters.hpp"

namespace quellgate::engine {

enum class Admission { admitted, refused, interrupted };

// One immediate attempt: a burst permit (when max_burst is set), then
// `cost` places in every window or in none (cost checked by check_cost
// first). Admitted leaves the permit held until release_burst; refused and
// interrupted (a broken table) hold nothing. When admitted and `decided_at`
// is given, it receives the reading that decided, for settle().
Admission try_admit(const LimiterCore& core, std::chrono::nanoseconds now);  // cost 1
Admission try_admit_costing(const LimiterCore& core, std::chrono::nanoseconds now, std::uint64_t cost,
                            std::chrono::nanoseconds* decided_at);
// Inline, so that a caller whose cost is 1 and who needs no reading calls
// the plain attempt, whose count is a constant.
inline Admission try_admit(const LimiterCore& core, std::chrono::nanoseconds now, std::uint64_t cost,
                           std::chrono::nanoseconds* decided_at = nullptr) {
  if (cost == 1 && decided_at == nullptr) return try_admit(core, now);
  return try_admit_costing(core, now, cost, decided_at);
}
// The same attempt for a limiter whose counts live in its CountHome.
Admission try_admit_at_home(const LimiterCore& core, std::chrono::nanoseconds now, std::uint64_t cost,
                            std::chrono::nanoseconds* decided_at);

// When a waiting admission gives up: a reading of a monotonic clock, and the
// clock to read, injected so that the engine reads no clock of its own.
struct Deadline {
  std::chrono::nanoseconds at;
  std::chrono::nanoseconds (*monotonic_now)();
};

// The step of a burst waiter that does not poll: it sleeps until woken.
inline constexpr std::uint32_t until_woken_ms = std::numeric_limits<std::uint32_t>::max();

struct AdmissionStep {
  // refused: only a loop with a deadline, which passed.
  enum class Kind { admitted, interrupted, sleep, refused } kind;
  std::uint32_t sleep_ms = 0;  // only for sleep; at least 1, or until_woken_ms
  // Only for sleep: what may end it early. A burst waiter is woken by a
  // release; a window waiter, holding its permit, only by the interrupt flag.
  WakeOn wake_on = WakeOn::interrupt_only;
  // Only for a burst sleep of a limiter with a CountHome: the home's release
  // count read before the attempt; the sleep is needed only while it stays.
  std::uint32_t releases_seen = 0;
};

// The step a waiter refused by a window sleeps: until the rollover measured
// with the refusal, but at most a second and the long backoff of its attempt.
std::uint32_t window_wait_step_ms(std::optional<std::chrono::nanoseconds> wait, std::uint64_t attempt);

// The waiting admission, written once as a step machine so that a thread
// (sleeping in place) and an asynchronous job (sleeping on a timer) drive the
// same loop. It waits for a burst permit first and keeps it while it waits
// for the windows; without a deadline it never gives up on its own, so it
// never refuses. With one, no sleep runs past it, and a pass refused at or
// after it ends the loop refused, holding nothing: a deadline already passed
// makes exactly one attempt. While
// it waits for a permit it polls on the backoff schedule if it holds its
// limiter's poll role (see WaiterList), and otherwise sleeps until woken.
//
// A loop that ends interrupted, or is destroyed before it admitted, gives
// back the permit it holds; nothing it counted survives either, because a
// pass that is refused undoes its own counts before it returns.
// After admitted or interrupted the loop is spent; a further next() starts a
// fresh admission.
class AdmissionLoop {
 public:
  // `cost`: places taken in every window (check_cost first); the loop holds
  // one burst permit whatever the cost.
  explicit AdmissionLoop(LimiterCore core, std::uint64_t cost = 1);
  AdmissionLoop(AdmissionLoop&& other) noexcept;
  AdmissionLoop& operator=(AdmissionLoop&& other) noexcept;
  AdmissionLoop(const AdmissionLoop&) = delete;
  AdmissionLoop& operator=(const AdmissionLoop&) = delete;
  ~AdmissionLoop();

  // Runs until admitted, interrupted, or a sleep is due. `now` is the wall
  // clock once for the whole pass. The interrupt flag is tested first, so a
  // flag set during a sleep ends the loop at the next call.
  AdmissionStep next(std::chrono::nanoseconds now);

  // For a limiter whose CountHome does not decide at once: the step after
  // an attempt the driver made itself (admit_async), with the home's release
  // count read before it.
  AdmissionStep after_attempt_at_home(const CountHome::Attempt& attempt, std::uint32_t releases_seen);

  // The driver's sleep was interrupted: give back a held permit and end.
  AdmissionStep interrupt() noexcept;

  // Bounds the admission (see above); before the first next().
  void set_deadline(Deadline deadline) noexcept { deadline_ = deadline; }

  // After admitted: the reading that decided, which names the windows the
  // admission was counted in (for settle()): the `now` of the admitting
  // pass, or the home's Attempt::decided_at.
  std::chrono::nanoseconds decided_at() const noexcept { return decided_at_; }
  std::uint64_t cost() const noexcept { return cost_; }

 private:
  // A limiter with a CountHome: each pass is one all-or-nothing attempt
  // there, so no permit is held between passes (home_admission.cpp).
  AdmissionStep next_at_home(std::chrono::nanoseconds now);
  AdmissionStep sleep_for(std::uint32_t ms, WakeOn wake_on) noexcept;
  AdmissionStep give_up() noexcept;
  AdmissionStep admitted(std::chrono::nanoseconds decided_at) noexcept;
  AdmissionStep wait_for_permit() noexcept;
  void give_back_held_permit() noexcept;
  void stop_polling() noexcept;

  LimiterCore core_;
  std::uint64_t cost_;
  std::optional<Deadline> deadline_;
  std::chrono::nanoseconds decided_at_{0};
  std::uint64_t attempt_ = 0;  // saturates instead of wrapping
  bool burst_held_ = false;
  bool polls_ = false;  // holds the limiter's poll role
};

// Whether a waiter that has just enlisted for `step` still has to sleep:
// sleep_needed, and for a burst wait of a limiter with a CountHome, whether
// the home's release count is still the one read before the attempt.
bool sleep_still_needed(const LimiterCore& core, const AdmissionStep& step) noexcept;

// Drives an AdmissionLoop on the calling thread from the step its last
// next() returned.
// now_fn() -> std::chrono::nanoseconds, the wall clock.
// sleep(const AdmissionStep&, const LimiterCore&) -> bool, true when
// interrupted; it may end early (see AdmissionStep::wake_on), and the loop
// then makes a fresh attempt.
// Returns admitted or interrupted, or refused when the loop's deadline passed.
template <class NowFn, class SleepFn>
Admission drive_blocking(AdmissionLoop& loop, AdmissionStep step, const LimiterCore& core, NowFn&& now_fn,
                         SleepFn&& sleep) {
  for (;;) {
    switch (step.kind) {
      case AdmissionStep::Kind::admitted:
        return Admission::admitted;
      case AdmissionStep::Kind::interrupted:
        return Admission::interrupted;
      case AdmissionStep::Kind::refused:
        return Admission::refused;
      case AdmissionStep::Kind::sleep:
        if (sleep(step, core)) {
          loop.interrupt();
          return Admission::interrupted;
        }
        break;
    }
    step = loop.next(now_fn());
  }
}

// A whole waiting admission on the calling thread, as drive_blocking.
template <class NowFn, class SleepFn>
Admission admit_blocking(const LimiterCore& core, NowFn&& now_fn, SleepFn&& sleep) {
  AdmissionLoop loop(core);
  const AdmissionStep first = loop.next(now_fn());
  return drive_blocking(loop, first, core, now_fn, sleep);
}

}  // namespace quellgate::engine
