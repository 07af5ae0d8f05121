#include "executor/thread_name.hpp"

#include "executor/windows/thread_description.hpp"

namespace quellgate::executor {

std::string current_thread_name() { return windows::thread_description(GetCurrentThread()).value_or("<unnamed>"); }

}  // namespace quellgate::executor
