#pragma once
#include <chrono>
#include <expected>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "executor/executor.hpp"
#include "executor/thread_sleep.hpp"
#include "os_support.hpp"

namespace quellgate::executor::testing {

using namespace std::chrono_literals;

// How long a test waits for a real pool before calling it hung. Generous:
// the machine is shared, and only a hang should trip it.
inline constexpr auto kPatience = 20s;

template <class T>
using Outcome = std::expected<T, JobFailure>;

template <class T>
Task<void> forward_outcome(JobHandle<T> handle, std::shared_ptr<std::promise<Outcome<T>>> result) {
  result->set_value(co_await handle);
}

// Waits on the calling (non-worker) thread for a job's outcome by having
// another job await its handle. nullopt when it did not arrive in time.
template <class T>
std::optional<Outcome<T>> outcome_of(BackgroundExecutor& executor, JobHandle<T> handle) {
  auto result = std::make_shared<std::promise<Outcome<T>>>();
  auto arrived = result->get_future();
  // The forwarding job keeps running detached; its handle is not needed.
  (void)executor.spawn(forward_outcome(std::move(handle), result));
  if (arrived.wait_for(kPatience) != std::future_status::ready) return std::nullopt;
  return arrived.get();
}

template <class T>
std::optional<Outcome<T>> run_to_end(BackgroundExecutor& executor, Task<T> task,
                                     std::shared_ptr<CancelSignal> cancel = {}) {
  return outcome_of(executor, executor.spawn(std::move(task), std::move(cancel)));
}

// Polls `condition` from a test thread until it holds or patience runs out.
inline bool eventually(const std::function<bool()>& condition) {
  const auto give_up = std::chrono::steady_clock::now() + kPatience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    thread_sleep(1ms);
  }
  return true;
}

}  // namespace quellgate::executor::testing
