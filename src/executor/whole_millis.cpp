#include "executor/thread_sleep.hpp"

namespace quellgate::executor {

std::uint64_t whole_millis_rounded_up(std::chrono::nanoseconds duration) {
  if (duration <= std::chrono::nanoseconds::zero()) return 0;
  const auto count = static_cast<std::uint64_t>(duration.count());
  return count / 1'000'000 + (count % 1'000'000 != 0 ? 1 : 0);
}

}  // namespace quellgate::executor
