#include "shared_memory/lock_holder.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace quellgate::shared_memory {

std::optional<LockHolder> lock_holder_of(pid_t tid) {
  if (tid <= 0) return std::nullopt;
  const std::string path = "/proc/" + std::to_string(tid) + "/status";
  std::FILE* status = std::fopen(path.c_str(), "re");
  if (status == nullptr) return std::nullopt;
  LockHolder holder;
  bool state_seen = false;
  char line[256];
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "State:", 6) == 0) {
      const char* state = line + 6;
      while (*state == ' ' || *state == '\t') ++state;
      // T: stopped by a signal; t: stopped under a tracer.
      holder.stopped = *state == 'T' || *state == 't';
      state_seen = true;
    } else if (std::strncmp(line, "Tgid:", 5) == 0) {
      holder.pid = static_cast<pid_t>(std::strtol(line + 5, nullptr, 10));
    }
  }
  std::fclose(status);
  if (!state_seen || holder.pid <= 0) return std::nullopt;
  return holder;
}

}  // namespace quellgate::shared_memory
