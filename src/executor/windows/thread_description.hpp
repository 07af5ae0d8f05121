#pragma once
#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace quellgate::executor::windows {

// SetThreadDescription and GetThreadDescription came with Windows 10 1607;
// both are looked up in kernel32 at run time, and where the system lacks
// them a thread simply has no name.
void describe_thread(HANDLE thread, std::string_view name) noexcept;
std::optional<std::string> thread_description(HANDLE thread);

}  // namespace quellgate::executor::windows
