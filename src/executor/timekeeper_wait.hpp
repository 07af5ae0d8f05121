#pragma once
#include <chrono>
#include <cstddef>
#include <mutex>

namespace quellgate::executor {

// Where the executor's timekeeper (the one parked worker that watches the
// timer) waits for the earliest deadline or a wake: a condition variable on
// the monotonic clock on Linux, an I/O completion port on Windows, where a
// wake is a posted packet that waits in the port even if it comes before
// the wait has begun. At most one thread waits at a time.
class TimekeeperWait {
 public:
  // Room for the OS's own objects; a static_assert there checks the fit.
  static constexpr std::size_t kNativeBytes = 48;

  // Throws std::runtime_error "the background executor could not be built:
  // <reason>" when the OS refuses what the wait needs.
  TimekeeperWait();
  ~TimekeeperWait();
  TimekeeperWait(const TimekeeperWait&) = delete;
  TimekeeperWait& operator=(const TimekeeperWait&) = delete;

  // Both waits release `lock` while blocked and may wake spuriously; the
  // caller re-checks its own state.
  void wait(std::unique_lock<std::mutex>& lock);
  void wait_until(std::unique_lock<std::mutex>& lock, std::chrono::nanoseconds monotonic_deadline);
  void notify_one();
  void notify_all();

 private:
  alignas(8) unsigned char native_[kNativeBytes];
};

}  // namespace quellgate::executor
