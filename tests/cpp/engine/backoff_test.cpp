#include "engine/backoff.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace quellgate::engine {
namespace {

constexpr std::uint64_t huge_attempt = std::numeric_limits<std::uint64_t>::max();

TEST(BackoffTest, ShortBackoffDoublesThenStaysAt100Ms) {
  std::vector<std::uint32_t> steps;
  for (std::uint64_t attempt = 0; attempt < 12; ++attempt) steps.push_back(short_backoff_ms(attempt));
  EXPECT_EQ(steps, (std::vector<std::uint32_t>{10, 20, 40, 80, 100, 100, 100, 100, 100, 100, 100, 100}));
  EXPECT_EQ(short_backoff_ms(huge_attempt), 100u);
}

TEST(BackoffTest, LongBackoffDoublesUpTo10240MsAndNeverOverflows) {
  std::vector<std::uint32_t> steps;
  for (std::uint64_t attempt = 0; attempt < 12; ++attempt) steps.push_back(long_backoff_ms(attempt));
  EXPECT_EQ(steps, (std::vector<std::uint32_t>{10, 20, 40, 80, 160, 320, 640, 1280, 2560, 5120,
                                               10240, 10240}));
  EXPECT_EQ(long_backoff_ms(64), 10240u);
  EXPECT_EQ(long_backoff_ms(huge_attempt), 10240u);
}

}  // namespace
}  // namespace quellgate::engine
