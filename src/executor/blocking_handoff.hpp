#pragma once
#include <memory>
#include <optional>
#include <utility>

#include "executor/blocking_pool.hpp"
#include "executor/cancel_signal.hpp"
#include "executor/job.hpp"
#include "executor/oneshot.hpp"
#include "executor/task.hpp"

namespace quellgate::executor {

// Whether the job that handed a call to the blocking pool still wants it
// made: false once that job was cancelled. Any thread may ask.
class StillWanted {
 public:
  explicit StillWanted(std::shared_ptr<CancelSignal> job) noexcept : job_(std::move(job)) {}
  bool operator()() const noexcept { return !job_ || !job_->is_cancelled(); }

 private:
  std::shared_ptr<CancelSignal> job_;
};

// Inside a job: runs `call` on `pool` and awaits what it returns, holding no
// thread meanwhile; nullopt when the call was dropped or backed out. Calls
// queue behind a busy pool, and one whose job was cancelled before a thread
// took it up is dropped unrun: destroyed, so whatever it holds goes back
// then. The call gets the same test for the moment it commits, which can come
// after a wait (for a lock that whoever cancels holds too); it returns
// nullopt to back out there.
//   Call: std::optional<T>(const StillWanted&)
template <class T, class Call>
Task<std::optional<T>> run_on_blocking_pool(BlockingPool& pool, Call call) {
  StillWanted wanted(detail::require_current_job("a blocking call was handed off").cancel_signal());
  auto [sender, receiver] = make_oneshot<T>();
  pool.submit([call = std::move(call), wanted, sender = std::move(sender)]() mutable {
    if (!wanted()) return;
    std::optional<T> outcome = call(wanted);
    if (outcome) sender.send(std::move(*outcome));  // when the job is gone, the outcome is dropped here
  });
  co_return co_await std::move(receiver);
}

}  // namespace quellgate::executor
