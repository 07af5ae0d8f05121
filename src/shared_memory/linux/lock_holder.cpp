#include "shared_memory/lock_holder.hpp"

#include <sys/types.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "shared_memory/segment_lock.hpp"

namespace quellgate::shared_memory {
namespace {

// The process of thread `tid` and whether it is stopped, from
// /proc/<tid>/status; nothing when it cannot be read.
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
      const long pid = std::strtol(line + 5, nullptr, 10);
      holder.pid = pid > 0 ? static_cast<std::uint64_t>(pid) : 0;
    }
  }
  std::fclose(status);
  if (!state_seen || holder.pid == 0) return std::nullopt;
  return holder;
}

}  // namespace

std::optional<LockHolder> lock_holder(Mapping& mapping) { return lock_holder_of(lock_owner_thread(mapping.segment())); }

}  // namespace quellgate::shared_memory
