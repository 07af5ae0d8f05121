#pragma once
#include <atomic>
#include <cstdint>

namespace quellgate::executor::windows {

// On Windows no signal cuts a blocking wait short: Ctrl+C and Ctrl+Break
// reach the process as a call of its console control handlers on a thread
// of their own, and the interpreter's handler there only sets a flag for its
// main thread to act on. A thread sleeping on an address-wait word registers
// the word here for the length of its sleep; our handler (which runs before
// the interpreter's, and hands the event on to it) adds kInterruptStep to
// every registered word and wakes its sleeper, who then reports a signal so
// that its caller runs the interpreter's handlers.
class ConsoleInterruptWatch {
 public:
  // The word's bits from kInterruptStep up are the watch's; the ones below
  // belong to the word's owner.
  static constexpr std::uint32_t kInterruptStep = 2;

  explicit ConsoleInterruptWatch(std::atomic<std::uint32_t>& word) noexcept;
  ~ConsoleInterruptWatch();
  ConsoleInterruptWatch(const ConsoleInterruptWatch&) = delete;
  ConsoleInterruptWatch& operator=(const ConsoleInterruptWatch&) = delete;

  // Whether an interrupt arrived since `before` was read from the word.
  static bool interrupted_since(std::uint32_t before, std::uint32_t now) noexcept {
    return (before & -kInterruptStep) != (now & -kInterruptStep);
  }

 private:
  friend void deliver_console_interrupt() noexcept;

  std::atomic<std::uint32_t>& word_;
  // Guarded by the registry's lock.
  ConsoleInterruptWatch* previous_ = nullptr;
  ConsoleInterruptWatch* next_ = nullptr;
};

// What the console control handler does for Ctrl+C and Ctrl+Break: every
// registered sleeper wakes and reports a signal.
void deliver_console_interrupt() noexcept;

}  // namespace quellgate::executor::windows
