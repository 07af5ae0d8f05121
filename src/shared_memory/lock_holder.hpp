#pragma once
// Who holds a segment's lock, for the message of a wait that gave up.
#include <sys/types.h>

#include <optional>

namespace quellgate::shared_memory {

struct LockHolder {
  pid_t pid = 0;         // the process of the owning thread
  bool stopped = false;  // stopped by a signal (SIGSTOP, Ctrl+Z, a freezer) or by a debugger
};

// The process of thread `tid` and whether it is stopped, from
// /proc/<tid>/status; nothing when it cannot be read: gone, or a thread of
// another PID namespace, whose ids mean nothing in this one's /proc.
std::optional<LockHolder> lock_holder_of(pid_t tid);

}  // namespace quellgate::shared_memory
