#pragma once
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace quellgate::executor::testing {

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

// Bytes malloc has handed out and not had back.
inline std::size_t heap_in_use() {
  const auto info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

}  // namespace quellgate::executor::testing
