#pragma once
#include <cstddef>
#include <expected>
#include <functional>
#include <string>
#include <string_view>

namespace quellgate::executor {

// Longest thread name Linux keeps (16 bytes with the terminating NUL).
inline constexpr std::size_t kLinuxThreadNameLimit = 15;

// The name as Linux will show it: cut to its first 15 bytes.
std::string linux_thread_name(std::string_view name);

// Starts a detached OS thread that names itself and then runs `body`. The
// thread is never joined. On failure returns the OS error code.
//
// Nothing between the thread's entry and `body` is noexcept or swallows
// exceptions: an interpreter that ends a foreign thread with pthread_exit
// unwinds it with abi::__forced_unwind, which must reach the thread's base.
std::expected<void, int> start_os_thread(std::string_view name, std::size_t stack_bytes, std::function<void()> body);

// Logical processors this process may run on; at least 1.
std::size_t logical_processor_count();

// Human-readable text of an errno-style code.
std::string os_error_text(int code);

}  // namespace quellgate::executor
