#pragma once
#include <windows.h>
#include <malloc.h>
#include <tlhelp32.h>

#include <functional>
#include <string>

#include "executor/os_thread.hpp"
#include "executor/windows/thread_description.hpp"

namespace quellgate::executor::testing {

// Calls `visit` with a handle to each thread of this process whose
// description, cut as Linux cuts thread names (the names the tests give),
// is `name`.
inline void for_threads_named(const std::string& name, const std::function<void(HANDLE)>& visit) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != GetCurrentProcessId()) continue;
    HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
    if (thread == nullptr) continue;
    const auto shown = windows::thread_description(thread);
    if (shown && linux_thread_name(*shown) == name) visit(thread);
    CloseHandle(thread);
  }
  CloseHandle(snapshot);
}

inline int count_threads_named(const std::string& name) {
  int count = 0;
  for_threads_named(name, [&count](HANDLE) { ++count; });
  return count;
}

// Processor time used so far by the threads named `name`, in hundredths of
// a second (the clock ticks Linux counts in).
inline long cpu_ticks_of_threads_named(const std::string& name) {
  unsigned long long hundreds_of_ns = 0;
  for_threads_named(name, [&hundreds_of_ns](HANDLE thread) {
    FILETIME created, ended, kernel, user;
    if (!GetThreadTimes(thread, &created, &ended, &kernel, &user)) return;
    for (const FILETIME& spent : {kernel, user}) {
      hundreds_of_ns += (static_cast<unsigned long long>(spent.dwHighDateTime) << 32) | spent.dwLowDateTime;
    }
  });
  return static_cast<long>(hundreds_of_ns / 100'000);
}

// Bytes the C runtime's heap has handed out and not had back.
inline std::size_t heap_in_use() {
  _HEAPINFO entry{};
  std::size_t used = 0;
  while (_heapwalk(&entry) == _HEAPOK) {
    if (entry._useflag == _USEDENTRY) used += entry._size;
  }
  return used;
}

}  // namespace quellgate::executor::testing
