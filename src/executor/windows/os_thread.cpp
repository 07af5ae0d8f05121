#include "executor/os_thread.hpp"

#include <windows.h>

#include <bit>
#include <memory>

#include "executor/windows/thread_description.hpp"
#include "executor/windows/wide_text.hpp"

namespace quellgate::executor {

namespace {

// Room the stack keeps for handling its own overflow, so that a worker that
// runs out reports it instead of vanishing.
constexpr ULONG kStackGuarantee = 20 * 1024;

// The interpreter ends a thread that takes its lock during finalisation with
// _endthreadex, which does not unwind: nothing between here and `body` may
// count on a destructor running then (see BlockingPool and Scheduler).
DWORD WINAPI os_thread_entry(void* raw_body) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(raw_body));
  ULONG guarantee = kStackGuarantee;
  SetThreadStackGuarantee(&guarantee);
  (*body)();
  return 0;
}

HANDLE native_handle(OsThread::Native handle) noexcept { return reinterpret_cast<HANDLE>(handle); }

// True while the process is exiting (ExitProcess has already ended every
// other thread, whatever locks they held): a guard's work is moot then, and
// could wait forever on a lock a vanished thread held.
bool process_exiting() noexcept {
  using Query = BOOLEAN(NTAPI*)();
  static const Query query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlDllShutdownInProgress")));
  return query != nullptr && query();
}

// Fibre-local storage's destructor runs on a thread's way out, however it
// leaves, while its stack is still there: the guard, on that stack, is whole.
void NTAPI on_thread_end(void* value) {
  if (value == nullptr || process_exiting()) return;
  const auto* guard = static_cast<const ThreadEndGuard*>(value);
  guard->on_end(guard->context);
}

DWORD guard_slot() noexcept {
  static const DWORD slot = FlsAlloc(on_thread_end);
  return slot;
}

}  // namespace

OsThread::~OsThread() {
  if (joinable_) CloseHandle(native_handle(handle_));
}

void OsThread::join() noexcept {
  if (!std::exchange(joinable_, false)) return;
  WaitForSingleObject(native_handle(handle_), INFINITE);
  CloseHandle(native_handle(handle_));
}

ThreadEndGuard::ThreadEndGuard(void (*end)(void*), void* end_context) noexcept : on_end(end), context(end_context) {
  if (guard_slot() != FLS_OUT_OF_INDEXES) FlsSetValue(guard_slot(), this);
}

// Left in scope: the thread goes on, and its end owes the guard nothing.
ThreadEndGuard::~ThreadEndGuard() {
  if (guard_slot() != FLS_OUT_OF_INDEXES) FlsSetValue(guard_slot(), nullptr);
}

std::expected<OsThread, int> start_os_thread(std::string_view name, std::size_t stack_bytes,
                                             std::function<void()> body) {
  auto owned_body = std::make_unique<std::function<void()>>(std::move(body));
  // The size is a reservation: pages are committed as the stack grows, as
  // on Linux, rather than all of them up front.
  HANDLE thread = CreateThread(nullptr, stack_bytes, os_thread_entry, owned_body.get(),
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (thread == nullptr) return std::unexpected(static_cast<int>(GetLastError()));
  owned_body.release();  // the new thread owns it now
  // Named from here, as on Linux, so a pool is fully named once built; the
  // handle stays valid even if the thread has already ended.
  windows::describe_thread(thread, name);
  return OsThread(reinterpret_cast<OsThread::Native>(thread));
}

std::size_t logical_processor_count() {
  DWORD_PTR process_mask = 0, system_mask = 0;
  // A process confined to some processors (start /affinity, a job object)
  // counts those; an unconfined one counts every group's, which one
  // affinity mask of 64 bits cannot describe.
  if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) && process_mask != system_mask) {
    const int allowed = std::popcount(static_cast<unsigned long long>(process_mask));
    if (allowed > 0) return static_cast<std::size_t>(allowed);
  }
  const DWORD active = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  return active > 0 ? active : 1;
}

// The text of a Win32 error code (what GetLastError returned).
std::string os_error_text(int code) {
  wchar_t* text = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (length == 0 || text == nullptr) return "Windows error " + std::to_string(static_cast<DWORD>(code));
  std::string message = windows::from_wide(std::wstring_view(text, length));
  LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
    message.pop_back();
  }
  return message;
}

}  // namespace quellgate::executor
