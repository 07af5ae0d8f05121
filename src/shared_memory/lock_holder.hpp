#pragma once
// Who holds a segment's lock, for the message of a wait that gave up.
#include <cstdint>
#include <optional>

#include "shared_memory/mapping.hpp"

namespace quellgate::shared_memory {

struct LockHolder {
  std::uint64_t pid = 0;  // the process of the owning thread
  bool stopped = false;   // stopped by a signal (SIGSTOP, Ctrl+Z, a freezer) or by a debugger
};

// The holder of the mapping's lock now, as far as this process can tell:
// nothing when the lock is free, its holder is gone, or the OS cannot name
// it (on Linux, a thread of another PID namespace, whose ids mean nothing
// in this one's /proc).
std::optional<LockHolder> lock_holder(Mapping& mapping);

}  // namespace quellgate::shared_memory
