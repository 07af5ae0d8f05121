#include "shared_memory/lock_holder.hpp"

#include <windows.h>

#include "shared_memory/segment_lock.hpp"

namespace quellgate::shared_memory {

// The holder's own note in the lock bytes, when that process still runs
// (one that cannot be opened counts as running). A stopped holder (a
// debugger, a suspended process) is not told apart from one that runs on.
std::optional<LockHolder> lock_holder(Mapping& mapping) {
  const std::uint32_t pid = lock_owner_process(mapping.segment());
  if (pid == 0) return std::nullopt;
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) {
    if (GetLastError() == ERROR_INVALID_PARAMETER) return std::nullopt;
    return LockHolder{pid, false};
  }
  const bool exited = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  CloseHandle(process);
  if (exited) return std::nullopt;
  return LockHolder{pid, false};
}

}  // namespace quellgate::shared_memory
