#include "executor/worker_count.hpp"

#include "executor/count_variable.hpp"

namespace quellgate::executor {

std::size_t resolve_worker_count(const std::optional<std::string>& raw_value, std::size_t logical_processors) {
  if (!raw_value) return logical_processors == 0 ? 1 : logical_processors;
  return parse_count_variable(kWorkerThreadsVariable, *raw_value);
}

}  // namespace quellgate::executor
