#include "executor/environment.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

namespace quellgate::executor {

std::optional<std::string> read_environment_variable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

void register_fork_child_handler(void (*handler)()) { pthread_atfork(nullptr, nullptr, handler); }

void register_fork_bracket(void (*before)(), void (*in_parent)(), void (*in_child)()) {
  pthread_atfork(before, in_parent, in_child);
}

bool on_first_thread() noexcept { return syscall(SYS_gettid) == getpid(); }

}  // namespace quellgate::executor
