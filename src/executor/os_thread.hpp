#pragma once
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace quellgate::executor {

// Longest thread name Linux keeps (16 bytes with the terminating NUL).
inline constexpr std::size_t kLinuxThreadNameLimit = 15;

// The name as Linux will show it: cut to its first 15 bytes.
inline std::string linux_thread_name(std::string_view name) {
  return std::string(name.substr(0, kLinuxThreadNameLimit));
}

// A started OS thread. Dropping the handle detaches the thread, which then
// runs on its own; join() waits for its end instead.
class OsThread {
 public:
  // The OS's own handle of the thread (a pthread_t, a Windows HANDLE), as an integer.
  using Native = std::uintptr_t;

  explicit OsThread(Native handle) noexcept : handle_(handle) {}
  OsThread(OsThread&& other) noexcept : handle_(other.handle_), joinable_(std::exchange(other.joinable_, false)) {}
  OsThread& operator=(OsThread&&) = delete;
  OsThread(const OsThread&) = delete;
  ~OsThread();
  void join() noexcept;

 private:
  Native handle_;
  bool joinable_ = true;
};

// Runs `on_end(context)` when the calling thread ends while the guard is
// alive without unwinding past it. On Windows the interpreter ends a thread
// that takes its lock during finalisation with _endthreadex, which runs no
// destructor, so a scope that must always be undone on the way out (a
// thread's place in a count) needs this as well as its destructor. Where
// threads end by unwinding (glibc's forced unwind on Linux), the guard does
// nothing: destructors do the work. One guard per thread at a time.
class ThreadEndGuard {
 public:
  ThreadEndGuard(void (*on_end)(void*), void* context) noexcept;
  ~ThreadEndGuard();
  ThreadEndGuard(const ThreadEndGuard&) = delete;
  ThreadEndGuard& operator=(const ThreadEndGuard&) = delete;

  void (*const on_end)(void*);
  void* const context;
};

// Starts an OS thread that runs `body`, already carrying `name` when this
// returns, so a pool is fully named as soon as it is built. On failure
// returns the OS error code.
//
// Nothing between the thread's entry and `body` is noexcept or swallows
// exceptions: an interpreter that ends a foreign thread with pthread_exit
// unwinds it with abi::__forced_unwind, which must reach the thread's base.
std::expected<OsThread, int> start_os_thread(std::string_view name, std::size_t stack_bytes,
                                             std::function<void()> body);

// Logical processors this process may run on; at least 1.
std::size_t logical_processor_count();

// Human-readable text of an errno-style code.
std::string os_error_text(int code);

}  // namespace quellgate::executor
