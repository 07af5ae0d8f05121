#pragma once
#include <chrono>
#include <cstddef>
#include <mutex>

namespace quellgate::executor {

// A condition variable whose timed waits run on the monotonic clock, so a
// wall-clock jump can neither stretch nor cut an idle worker's wait.
class MonotonicCondition {
 public:
  // Room for the OS's own condition object, which each OS's source file
  // constructs here; a static_assert there checks that it fits.
  static constexpr std::size_t kNativeBytes = 48;

  MonotonicCondition();
  ~MonotonicCondition();
  MonotonicCondition(const MonotonicCondition&) = delete;
  MonotonicCondition& operator=(const MonotonicCondition&) = delete;

  // Both waits may wake spuriously; callers re-check their own state.
  void wait(std::unique_lock<std::mutex>& lock);
  void wait_until(std::unique_lock<std::mutex>& lock, std::chrono::nanoseconds monotonic_deadline);
  void notify_one();
  void notify_all();

 private:
  alignas(8) unsigned char native_[kNativeBytes];
};

}  // namespace quellgate::executor
