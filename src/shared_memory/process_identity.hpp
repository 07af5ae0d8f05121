#pragma once

#include <cstdint>

namespace quellgate::shared_memory {

// What tells a process apart from every other, past and present, on a host:
// a pid alone is reused.
//
// Namespace 0: /proc could not say who this process is (a PID namespace
// without its own /proc numbers processes as another namespace does, and
// every such process may be pid 1). Then start_time is a random token drawn
// once per process (and again after fork), so that no two such processes
// ever share a slot; and since no namespace can judge it, its slot is never
// reclaimed.
//
// On Windows: the process id, its creation time (100 ns ticks since 1601,
// from GetProcessTimes), and namespace 1, as every process of the host
// numbers in one space.
struct ProcessIdentity {
  std::uint64_t pid = 0;
  std::uint64_t start_time = 0;     // field 22 of /proc/PID/stat, clock ticks since boot; or the token
  std::uint64_t pid_namespace = 0;  // inode of /proc/self/ns/pid; 0: unknown
};

// This process's identity, read once and again after each fork (the child
// handler only marks it stale; nothing is read or locked at fork time).
// Costs five loads when it is current.
ProcessIdentity current_identity() noexcept;

// True only when the process recorded as `pid` with `start_time`, of this
// process's PID namespace, is certainly gone: no such pid, a process whose
// every thread has exited (a zombie), or a pid that now belongs to a process
// started at another time. A leader thread that exited alone leaves a
// zombie entry for the pid while its other threads run: that process is
// alive. A process that cannot be probed counts as alive, so its permits are
// never taken from it.
bool process_is_gone(std::uint64_t pid, std::uint64_t start_time) noexcept;

}  // namespace quellgate::shared_memory
