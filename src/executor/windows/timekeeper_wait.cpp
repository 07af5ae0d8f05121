#include "executor/timekeeper_wait.hpp"

#include <windows.h>

#include <atomic>
#include <new>
#include <stdexcept>

#include "executor/os_thread.hpp"
#include "executor/windows/address_wait.hpp"

namespace quellgate::executor {

namespace {

struct Port {
  HANDLE handle;
  // Set by the wake that posts a packet, cleared by the wait it ends: a
  // burst of wakes while the timekeeper is still on its way back to the lock
  // posts one packet, not one each, so no backlog of stale packets builds up
  // to end later waits early. At most one stale packet can stay (a wake
  // after the clear), and it costs one spurious wake-up. acq_rel exchange,
  // release clear: the flag only rations packets; what a wake made ready is
  // published by the scheduler's lock.
  std::atomic<bool> wake_posted{false};
};

static_assert(sizeof(Port) <= TimekeeperWait::kNativeBytes && alignof(Port) <= 8);

Port& port(unsigned char* storage) noexcept { return *std::launder(reinterpret_cast<Port*>(storage)); }

void wait_on_port(Port& on, std::unique_lock<std::mutex>& lock, DWORD timeout) {
  lock.unlock();
  OVERLAPPED_ENTRY packet;
  ULONG taken = 0;
  GetQueuedCompletionStatusEx(on.handle, &packet, 1, &taken, timeout, FALSE);
  on.wake_posted.store(false, std::memory_order_release);
  lock.lock();
}

}  // namespace

TimekeeperWait::TimekeeperWait() {
  // No file handle and a concurrency of 0: a port that only carries wakes.
  HANDLE made = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
  if (made == nullptr) {
    throw std::runtime_error("the background executor could not be built: " +
                             os_error_text(static_cast<int>(GetLastError())));
  }
  new (native_) Port{.handle = made};
}

TimekeeperWait::~TimekeeperWait() {
  CloseHandle(port(native_).handle);
  port(native_).~Port();
}

void TimekeeperWait::wait(std::unique_lock<std::mutex>& lock) { wait_on_port(port(native_), lock, INFINITE); }

// The timeout is whole milliseconds rounded up, so the wait never ends
// before the deadline it was given.
void TimekeeperWait::wait_until(std::unique_lock<std::mutex>& lock, std::chrono::nanoseconds monotonic_deadline) {
  const DWORD timeout = windows::address_wait_timeout(monotonic_deadline);
  if (timeout == 0) return;
  wait_on_port(port(native_), lock, timeout);
}

void TimekeeperWait::notify_one() {
  Port& to = port(native_);
  if (!to.wake_posted.exchange(true, std::memory_order_acq_rel)) PostQueuedCompletionStatus(to.handle, 0, 0, nullptr);
}

// One waiter at most: one packet wakes it.
void TimekeeperWait::notify_all() { notify_one(); }

}  // namespace quellgate::executor
