#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quellgate::executor {

inline constexpr const char* kWorkerThreadsVariable = "OSKEN_WORKER_THREADS";

// The pool size from the raw value of OSKEN_WORKER_THREADS (nullopt when the
// variable is unset) and the logical processor count. Throws
// std::runtime_error naming the variable when the value is not valid UTF-8,
// not an unsigned decimal integer, or zero.
std::size_t resolve_worker_count(const std::optional<std::string>& raw_value, std::size_t logical_processors);

}  // namespace quellgate::executor
