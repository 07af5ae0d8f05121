#include "engine/admission.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <span>
#include <utility>

#include "engine/backoff.hpp"
#include "engine/report.hpp"
#include "engine/window.hpp"

namespace quellgate::engine {
namespace {

using std::chrono::nanoseconds;

// A computed wait is slept in steps of at most this, so a waiter re-tests
// the windows at least once a second even when a day window is full.
constexpr std::uint64_t window_step_cap_ms = 1000;

// Counts `cost` places in every window, or in none: a window without room
// for all of them undoes the counts this pass made in the windows before it.
// Call with the lock held.
bool count_in(std::span<WindowState> windows, nanoseconds now, std::uint64_t cost) noexcept {
  for (std::size_t i = 0; i < windows.size(); ++i) {
    WindowState& window = windows[i];
    refresh_window(window, now);
    if (!has_room(window, cost)) {
      for (WindowState& counted : windows.first(i)) counted.count -= cost;
      return false;
    }
    window.count += cost;
  }
  return true;
}

// count_in under the table's lock; nothing when the table is broken.
std::optional<bool> count_in_every_window(const LimiterCore& core, nanoseconds now, std::uint64_t cost) {
  return core.window_table().with_lock(
      [now, cost](std::span<WindowState> windows) { return count_in(windows, now, cost); });
}

// A waiting attempt: counted, or else how long until a full window rolls
// over, found in the same pass under the lock, which thousands of waiters
// waking together then take once each instead of twice.
struct Attempt {
  bool counted;
  std::optional<nanoseconds> wait;
};

std::optional<Attempt> attempt_or_measure_wait(const LimiterCore& core, nanoseconds now, std::uint64_t cost) {
  return core.window_table().with_lock([now, cost](std::span<WindowState> windows) {
    if (count_in(windows, now, cost)) return Attempt{true, std::nullopt};
    return Attempt{false, wait_for_full_windows(windows, now, cost)};
  });
}

// Whole milliseconds from `now` to `deadline`, rounded up so that a sleep
// of them reaches it; at least 1.
std::uint32_t ms_until(nanoseconds deadline, nanoseconds now) noexcept {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  return static_cast<std::uint32_t>(std::clamp<std::int64_t>(left, 1, std::numeric_limits<std::uint32_t>::max()));
}

// Gives a taken permit back unless dismissed, also if the table lock throws.
class PermitGuard {
 public:
  explicit PermitGuard(const LimiterCore& core) noexcept : core_(core) {}
  PermitGuard(const PermitGuard&) = delete;
  PermitGuard& operator=(const PermitGuard&) = delete;
  ~PermitGuard() {
    if (armed_) release_burst(core_);
  }
  void dismiss() noexcept { armed_ = false; }

 private:
  const LimiterCore& core_;
  bool armed_ = true;
};

}  // namespace

std::uint32_t window_wait_step_ms(std::optional<nanoseconds> wait, std::uint64_t attempt) {
  if (!wait) return short_backoff_ms(attempt);
  const auto wait_ms = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(*wait).count());
  const std::uint64_t long_step_ms = long_backoff_ms(attempt);
  return static_cast<std::uint32_t>(std::min({wait_ms, window_step_cap_ms, long_step_ms}));
}

namespace {

[[gnu::always_inline]] inline Admission attempt_once(const LimiterCore& core, nanoseconds now, std::uint64_t cost,
                                                     nanoseconds* decided_at) {
  if (core.home() != nullptr) [[unlikely]] return try_admit_at_home(core, now, cost, decided_at);
  if (!take_burst(core)) return Admission::refused;
  PermitGuard permit(core);
  const std::optional<bool> counted = count_in_every_window(core, now, cost);
  if (!counted) return Admission::interrupted;
  if (!*counted) return Admission::refused;
  permit.dismiss();
  if (decided_at != nullptr) *decided_at = now;
  return Admission::admitted;
}

}  // namespace

Admission try_admit(const LimiterCore& core, nanoseconds now) { return attempt_once(core, now, 1, nullptr); }

Admission try_admit_costing(const LimiterCore& core, nanoseconds now, std::uint64_t cost, nanoseconds* decided_at) {
  return attempt_once(core, now, cost, decided_at);
}

AdmissionLoop::AdmissionLoop(LimiterCore core, std::uint64_t cost) : core_(std::move(core)), cost_(cost) {}

// The core is copied, not moved, so a moved-from loop stays usable (and empty).
AdmissionLoop::AdmissionLoop(AdmissionLoop&& other) noexcept
    : core_(other.core_),
      cost_(other.cost_),
      deadline_(other.deadline_),
      decided_at_(other.decided_at_),
      attempt_(other.attempt_),
      burst_held_(std::exchange(other.burst_held_, false)),
      polls_(std::exchange(other.polls_, false)) {}

AdmissionLoop& AdmissionLoop::operator=(AdmissionLoop&& other) noexcept {
  if (this != &other) {
    give_back_held_permit();
    stop_polling();
    core_ = other.core_;
    cost_ = other.cost_;
    deadline_ = other.deadline_;
    decided_at_ = other.decided_at_;
    attempt_ = other.attempt_;
    burst_held_ = std::exchange(other.burst_held_, false);
    polls_ = std::exchange(other.polls_, false);
  }
  return *this;
}

AdmissionLoop::~AdmissionLoop() {
  give_back_held_permit();
  stop_polling();
}

AdmissionStep AdmissionLoop::next(nanoseconds now) {
  if (core_.interrupted()) return interrupt();
  if (core_.home() != nullptr) [[unlikely]] return next_at_home(now);
  if (core_.max_burst() && !burst_held_) {
    if (!take_burst(core_)) return wait_for_permit();
    burst_held_ = true;
    stop_polling();
  }
  const std::optional<Attempt> attempt = attempt_or_measure_wait(core_, now, cost_);
  if (!attempt) return interrupt();
  if (attempt->counted) {
    burst_held_ = false;  // now the caller's, until release_burst
    return admitted(now);
  }
  return sleep_for(window_wait_step_ms(attempt->wait, attempt_), WakeOn::interrupt_only);
}

AdmissionStep AdmissionLoop::admitted(nanoseconds decided_at) noexcept {
  decided_at_ = decided_at;
  attempt_ = 0;
  return {AdmissionStep::Kind::admitted};
}

AdmissionStep AdmissionLoop::give_up() noexcept {
  give_back_held_permit();
  stop_polling();
  attempt_ = 0;
  return {AdmissionStep::Kind::refused};
}

AdmissionStep AdmissionLoop::interrupt() noexcept {
  give_back_held_permit();
  stop_polling();
  attempt_ = 0;
  return {AdmissionStep::Kind::interrupted};
}

// Every sleep passes here, so the deadline bounds them all: a pass refused
// at or after it gives up, and no sleep outlasts it.
AdmissionStep AdmissionLoop::sleep_for(std::uint32_t ms, WakeOn wake_on) noexcept {
  if (deadline_) {
    const nanoseconds now = deadline_->monotonic_now();
    if (now >= deadline_->at) return give_up();
    ms = std::min(ms, ms_until(deadline_->at, now));
  }
  if (attempt_ != std::numeric_limits<std::uint64_t>::max()) ++attempt_;
  return {AdmissionStep::Kind::sleep, ms, wake_on};
}

AdmissionStep AdmissionLoop::wait_for_permit() noexcept {
  if (!polls_) polls_ = core_.waiters().claim_polling();
  return sleep_for(polls_ ? short_backoff_ms(attempt_) : until_woken_ms, WakeOn::release_or_interrupt);
}

void AdmissionLoop::stop_polling() noexcept {
  if (std::exchange(polls_, false)) core_.waiters().resign_polling();
}

void AdmissionLoop::give_back_held_permit() noexcept {
  if (burst_held_) release_burst(core_);
  burst_held_ = false;
}

}  // namespace quellgate::engine
