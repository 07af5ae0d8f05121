#include "shared_memory/process_identity.hpp"

#include <windows.h>

#include <climits>

namespace quellgate::shared_memory {
namespace {

// Every process of a Windows host numbers in one space: no namespace tells
// them apart, and every slot can be judged by every process.
constexpr std::uint64_t host_pid_space = 1;

std::uint64_t ticks_of(const FILETIME& time) noexcept {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// The creation time of a process, in 100 ns ticks since 1601: with its id,
// it names the process apart from any later one given the same id.
bool creation_time(HANDLE process, std::uint64_t& ticks) noexcept {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return false;
  ticks = ticks_of(created);
  return true;
}

ProcessIdentity read_identity() noexcept {
  ProcessIdentity me;
  me.pid = GetCurrentProcessId();
  if (creation_time(GetCurrentProcess(), me.start_time)) {
    me.pid_namespace = host_pid_space;
    return me;
  }
  // Not to be had: a token no other process has (this process's counter
  // and an address of it), and a slot that nobody ever reclaims.
  LARGE_INTEGER counter{};
  QueryPerformanceCounter(&counter);
  me.start_time = (static_cast<std::uint64_t>(counter.QuadPart) * 1'000'000'007ULL) ^
                  reinterpret_cast<std::uintptr_t>(&me) ^ 1;
  return me;
}

}  // namespace

// Windows has no fork, so the identity is read once, by the first caller
// (a function-local static: initialised under the runtime's guard).
ProcessIdentity current_identity() noexcept {
  static const ProcessIdentity me = read_identity();
  return me;
}

bool process_is_gone(std::uint64_t pid, std::uint64_t start_time) noexcept {
  if (pid == 0 || pid > UINT32_MAX) return true;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  // No such process; any other failure (access denied: another user's, or
  // a protected process) proves nothing, so the process counts as alive.
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  // An exited process stays while a handle to it is open: it is gone all
  // the same. One created at another time took the id after it.
  std::uint64_t created = 0;
  const bool gone = WaitForSingleObject(process, 0) == WAIT_OBJECT_0 ||
                    (creation_time(process, created) && created != start_time);
  CloseHandle(process);
  return gone;
}

}  // namespace quellgate::shared_memory
