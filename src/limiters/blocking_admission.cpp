#include "limiters/blocking_admission.hpp"

#include <algorithm>
#include <chrono>

#include "engine/admission.hpp"
#include "executor/clock.hpp"
#include "executor/thread_sleep.hpp"
#include "frame/gil.hpp"

namespace quellgate {
namespace {

using namespace std::chrono_literals;

constexpr auto kFlagCheckSlice = 10ms;
constexpr auto kSignalCheckEvery = 500ms;

// Runs the interpreter's signal handlers from inside a wait. A handler that
// raised (Ctrl+C) is consumed here and turned into the shared interrupt flag.
bool signal_handler_raised() {
  // Once the interpreter is exiting there is nobody left to press Ctrl+C
  // for, and taking the lock would only end this thread mid-sleep.
  if (gil::interpreter_exiting()) return false;
  return gil::with_gil([] {
    if (PyErr_CheckSignals() == 0) return false;
    PyErr_Clear();
    return true;
  });
}

engine::Admission admit_without_gil(const engine::LimiterCore& core) {
  if (!core.blocking()) return engine::try_admit(core, executor::wall_now());
  return engine::admit_blocking(core, executor::wall_now, interruptible_sleep);
}

}  // namespace

PyError operation_interrupted() { return PyError::deferred(keyboard_interrupt, "Operation interrupted"); }

bool interruptible_sleep(std::uint32_t milliseconds, const engine::LimiterCore& core) {
  const std::chrono::nanoseconds duration = std::chrono::milliseconds(milliseconds);
  const auto start = executor::monotonic_now();
  std::chrono::nanoseconds slept_since_check{0};
  for (;;) {
    const auto elapsed = executor::monotonic_now() - start;
    if (elapsed >= duration) return false;
    if (core.interrupted()) return true;
    const auto slice = std::min<std::chrono::nanoseconds>(duration - elapsed, kFlagCheckSlice);
    executor::thread_sleep(slice);
    slept_since_check += slice;
    if (slept_since_check >= kSignalCheckEvery) {
      if (signal_handler_raised()) {
        core.set_interrupt();
        return true;
      }
      slept_since_check = 0ns;
    }
  }
}

Result<bool> admit_on_this_thread(const engine::LimiterCore& core) {
  core.clear_interrupt();
  const engine::Admission outcome = gil::without_gil([&] { return admit_without_gil(core); });
  if (PyErr_CheckSignals() != 0) {
    // The caller will see KeyboardInterrupt and cannot know it was admitted,
    // so the permit of this admission goes back; window counts stay.
    PyErr_Clear();
    core.set_interrupt();
    if (outcome == engine::Admission::admitted) engine::release_burst(core);
    return std::unexpected(operation_interrupted());
  }
  if (outcome == engine::Admission::interrupted) return std::unexpected(operation_interrupted());
  return outcome == engine::Admission::admitted;
}

}  // namespace quellgate
