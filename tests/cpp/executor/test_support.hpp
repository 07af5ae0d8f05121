#pragma once
#include <chrono>
#include <expected>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "executor/executor.hpp"
#include "executor/thread_sleep.hpp"

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

// Threads of this process whose name, as Linux shows it, is `name`.
inline int count_threads_named(const std::string& name) {
  int count = 0;
  std::error_code ignored;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ignored)) {
    std::ifstream comm(task.path() / "comm");
    std::string shown;
    if (std::getline(comm, shown) && shown == name) ++count;
  }
  return count;
}

// Processor time, in clock ticks, used so far by the threads named `name`.
inline long cpu_ticks_of_threads_named(const std::string& name) {
  long ticks = 0;
  std::error_code ignored;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ignored)) {
    std::ifstream comm(task.path() / "comm");
    std::string shown;
    if (!std::getline(comm, shown) || shown != name) continue;
    std::ifstream stat_file(task.path() / "stat");
    std::string stat;
    std::getline(stat_file, stat);
    // Fields after the parenthesised name: state is field 3, utime 14, stime 15.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long user = 0, system = 0;
    for (int index = 3; fields >> field && index <= 15; ++index) {
      if (index == 14) user = std::stol(field);
      if (index == 15) system = std::stol(field);
    }
    ticks += user + system;
  }
  return ticks;
}

// Runs `child_body` in a forked child and returns its exit code (or -1 when
// it did not exit normally). The child reports through the code alone.
inline int exit_code_in_child(const std::function<int()>& child_body) {
  const pid_t child = fork();
  if (child == 0) _exit(child_body());
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace quellgate::executor::testing
