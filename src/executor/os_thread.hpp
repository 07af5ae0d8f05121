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
