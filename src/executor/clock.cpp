#include "executor/clock.hpp"

#include <limits>

namespace quellgate::executor {

std::chrono::nanoseconds wall_reading_from(long long seconds, long nanos) {
  using Rep = std::chrono::nanoseconds::rep;
  if (seconds < 0) return std::chrono::nanoseconds::zero();
  constexpr Rep kMaxSeconds = std::numeric_limits<Rep>::max() / 1'000'000'000 - 1;
  if (seconds > kMaxSeconds) return std::chrono::nanoseconds::max();
  return std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanos);
}

}  // namespace quellgate::executor
