#pragma once
#include <string>

namespace quellgate::executor {

// The calling thread's name as the OS shows it (for fault reports).
std::string current_thread_name();

}  // namespace quellgate::executor
