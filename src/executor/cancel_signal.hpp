#pragma once
#include <atomic>
#include <mutex>

namespace quellgate::executor {

namespace detail {
class JobBase;
}

// Asks one spawned job to stop. Shared (std::shared_ptr) between the job and
// whoever may cancel it; cancel() is thread-safe and idempotent. A cancelled
// job is abandoned at its next suspension point: its coroutine frame is
// destroyed and its handle reports JobFailure::cancelled.
class CancelSignal {
 public:
  CancelSignal() = default;
  CancelSignal(const CancelSignal&) = delete;
  CancelSignal& operator=(const CancelSignal&) = delete;

  void cancel();
  bool is_cancelled() const noexcept;

 private:
  friend class detail::JobBase;
  // Throws std::logic_error when another live job already listens.
  void attach(detail::JobBase& job);
  void detach(detail::JobBase& job) noexcept;

  // Release on cancel, acquire on reading: the job's worker acts on it.
  std::atomic<bool> cancelled_{false};
  std::mutex mutex_;
  detail::JobBase* job_ = nullptr;  // guarded by mutex_; valid while attached
};

}  // namespace quellgate::executor
