#include "executor/windows/console_interrupt.hpp"

#include <windows.h>

namespace quellgate::executor::windows {

namespace {

// The registered watches, a list through the watches themselves, which live
// on their sleepers' stacks. An SRW lock: statically initialised, and never
// held across anything but this list's links and the wakes of its words.
SRWLOCK registry_lock = SRWLOCK_INIT;
ConsoleInterruptWatch* registry_head = nullptr;  // guarded by registry_lock

BOOL WINAPI on_console_control(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) deliver_console_interrupt();
  // Not handled: the handlers installed before ours, the interpreter's
  // among them, still see the event.
  return FALSE;
}

// Installed with the first watch, once per process. Handlers run latest
// first, so ours runs before the interpreter's, installed at its start-up.
void install_handler_once() noexcept {
  static INIT_ONCE installed = INIT_ONCE_STATIC_INIT;
  InitOnceExecuteOnce(
      &installed,
      [](PINIT_ONCE, PVOID, PVOID*) -> BOOL {
        SetConsoleCtrlHandler(on_console_control, TRUE);
        return TRUE;
      },
      nullptr, nullptr);
}

}  // namespace

ConsoleInterruptWatch::ConsoleInterruptWatch(std::atomic<std::uint32_t>& word) noexcept : word_(word) {
  install_handler_once();
  AcquireSRWLockExclusive(&registry_lock);
  next_ = registry_head;
  if (next_ != nullptr) next_->previous_ = this;
  registry_head = this;
  ReleaseSRWLockExclusive(&registry_lock);
}

ConsoleInterruptWatch::~ConsoleInterruptWatch() {
  AcquireSRWLockExclusive(&registry_lock);
  if (previous_ != nullptr) previous_->next_ = next_;
  else registry_head = next_;
  if (next_ != nullptr) next_->previous_ = previous_;
  ReleaseSRWLockExclusive(&registry_lock);
}

void deliver_console_interrupt() noexcept {
  AcquireSRWLockExclusive(&registry_lock);
  for (ConsoleInterruptWatch* watch = registry_head; watch != nullptr; watch = watch->next_) {
    // Release: pairs with the sleeper's acquire load of its word. Changing
    // the word, not only waking it, is what makes a wake that comes before
    // the sleeper is in WaitOnAddress count: the word no longer matches.
    watch->word_.fetch_add(ConsoleInterruptWatch::kInterruptStep, std::memory_order_release);
    WakeByAddressAll(&watch->word_);
  }
  ReleaseSRWLockExclusive(&registry_lock);
}

}  // namespace quellgate::executor::windows
