#include "executor/clock.hpp"

#include <gtest/gtest.h>

namespace quellgate::executor {
namespace {

using namespace std::chrono_literals;

TEST(MonotonicClock, SuccessiveReadingsNeverDecrease) {
  auto previous = monotonic_now();
  for (int i = 0; i < 100'000; ++i) {
    const auto now = monotonic_now();
    ASSERT_GE(now, previous);
    previous = now;
  }
}

TEST(WallClock, ReadsTheSystemTimeSinceTheEpoch) {
  const auto system = std::chrono::system_clock::now().time_since_epoch();
  const auto wall = wall_now();
  EXPECT_LT(std::chrono::abs(wall - system), 1s);
  EXPECT_GT(wall, std::chrono::nanoseconds(std::chrono::hours(24 * 365 * 50)));
}

TEST(WallClock, ReadingsBefore1970ClampToZeroInsteadOfGoingNegative) {
  EXPECT_EQ(wall_reading_from(-1, 999'999'999), 0ns);
  EXPECT_EQ(wall_reading_from(-1'000'000, 0), 0ns);
  EXPECT_EQ(wall_reading_from(0, 0), 0ns);
  EXPECT_EQ(wall_reading_from(5, 7), 5s + 7ns);
}

}  // namespace
}  // namespace quellgate::executor
