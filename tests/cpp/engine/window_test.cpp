#include "engine/window.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "fake_clock.hpp"

namespace quellgate::engine {
namespace {

using namespace std::chrono_literals;
using testing::utc;

std::uint64_t secs(std::chrono::nanoseconds t) { return whole_seconds(t); }

TEST(WindowTest, NeverStartedWindowStartsAtTheAlignedStart) {
  WindowState minute{"minute", 10, 60};
  refresh_window(minute, utc(12, 0, 59, 999ms));
  EXPECT_EQ(minute.window_start, secs(utc(12, 0, 0)));
  EXPECT_EQ(minute.count, 0u);

  WindowState ten_seconds{"second", 3, 10};
  refresh_window(ten_seconds, utc(12, 0, 17));
  EXPECT_EQ(ten_seconds.window_start, secs(utc(12, 0, 10)));
}

TEST(WindowTest, CountSurvivesWithinTheWindowAndClearsAtRollover) {
  WindowState minute{"minute", 10, 60};
  refresh_window(minute, utc(12, 0, 1));
  minute.count = 7;
  refresh_window(minute, utc(12, 0, 59, 999'999'999ns));
  EXPECT_EQ(minute.count, 7u);
  refresh_window(minute, utc(12, 1, 0));
  EXPECT_EQ(minute.count, 0u);
  EXPECT_EQ(minute.window_start, secs(utc(12, 1, 0)));
}

TEST(WindowTest, SkippingSeveralWindowsLandsOnTheCurrentOne) {
  WindowState hour{"hour", 10, 3600};
  refresh_window(hour, utc(1, 30, 0));
  hour.count = 10;
  refresh_window(hour, utc(5, 59, 59));
  EXPECT_EQ(hour.window_start, secs(utc(5, 0, 0)));
  EXPECT_EQ(hour.count, 0u);
}

TEST(WindowTest, ClockGoingBackMovesTheWindowBackWithItsCount) {
  WindowState second{"second", 5, 1};
  refresh_window(second, utc(12, 0, 10));
  second.count = 4;
  refresh_window(second, utc(12, 0, 3));
  EXPECT_EQ(second.window_start, secs(utc(12, 0, 3)));
  EXPECT_EQ(second.count, 4u);
  refresh_window(second, utc(12, 0, 4));
  EXPECT_EQ(second.count, 0u);
}

TEST(WindowTest, ReadingTakenBeforeAnotherCallerMovedTheWindowOnCountsInTheLaterWindow) {
  WindowState second{"second", 5, 1};
  refresh_window(second, utc(12, 0, 10));
  second.count = 4;
  refresh_window(second, utc(12, 0, 9) + 999ms);
  EXPECT_EQ(second.window_start, secs(utc(12, 0, 10)));
  refresh_window(second, utc(12, 0, 10) + 1ms);
  EXPECT_EQ(second.count, 4u) << "the later window keeps what it counted";
}

// Readings of a one-second window holding 4 at second 10, and where each
// leaves it (start, count, newer_start).
struct OldReadingCase {
  const char* name;
  std::vector<std::pair<std::uint64_t, StoredWindow>> steps;
};

void PrintTo(const OldReadingCase& row, std::ostream* out) { *out << row.name; }

class OldReadingTest : public ::testing::TestWithParam<OldReadingCase> {};

TEST_P(OldReadingTest, WindowMovesAsExpected) {
  StoredWindow window{10, 4, 0};
  for (const auto& [reading, expected] : GetParam().steps) {
    window = window_position(1, window, std::chrono::seconds(reading));
    EXPECT_EQ(window, expected) << "after the reading at second " << reading;
  }
}

INSTANTIATE_TEST_SUITE_P(
    WindowTest, OldReadingTest,
    ::testing::Values(
        OldReadingCase{"an_old_reading_never_clears_the_later_window", {{7, {7, 4, 10}}, {10, {10, 4, 0}}}},
        OldReadingCase{"several_old_readings_remember_the_newest", {{7, {7, 4, 10}}, {5, {5, 4, 10}}, {10, {10, 4, 0}}}},
        OldReadingCase{"the_next_interval_clears_as_usual", {{7, {7, 4, 10}}, {11, {11, 0, 0}}}},
        OldReadingCase{"a_clock_stepped_back_refuses_one_window_at_most",
                       {{3, {3, 4, 10}}, {4, {4, 0, 0}}, {10, {10, 0, 0}}}},
        OldReadingCase{"late_by_under_a_window_counts_in_the_later_one", {{9, {10, 4, 0}}}}),
    [](const ::testing::TestParamInfo<OldReadingCase>& row) { return std::string(row.param.name); });

TEST(WindowTest, ClockAtTheEpochCountsInTheFirstWindowWithoutWrapping) {
  WindowState second{"second", 5, 1};
  refresh_window(second, 0ns);
  EXPECT_EQ(second.window_start, 0u);
  second.count = 3;
  refresh_window(second, 999ms);
  EXPECT_EQ(second.count, 3u) << "still the interval [0, 1)";
  refresh_window(second, 1s);
  EXPECT_EQ(second.window_start, 1u);
  EXPECT_EQ(second.count, 0u);
}

TEST(WindowTest, NegativeReadingIsTreatedAsTheEpoch) {
  EXPECT_EQ(whole_seconds(-5s), 0u);
  EXPECT_EQ(whole_seconds(-1ns), 0u);
  EXPECT_EQ(aligned_start(60, -90s), 0u);
}

TEST(WindowTest, WindowLongerThanTheEpochNeverRollsOver) {
  WindowState day{"day", 2, std::numeric_limits<std::uint64_t>::max()};
  refresh_window(day, utc(12, 0, 0));
  day.count = 2;
  refresh_window(day, std::chrono::nanoseconds::max());
  EXPECT_EQ(day.window_start, 0u);
  EXPECT_EQ(day.count, 2u);
}

TEST(WindowTest, RemainingIsLimitMinusCountAndNeverNegative) {
  WindowState second{"second", 5, 1};
  EXPECT_EQ(remaining_in(second), 5u);
  EXPECT_FALSE(is_full(second));
  second.count = 5;
  EXPECT_EQ(remaining_in(second), 0u);
  EXPECT_TRUE(is_full(second));
  second.count = 6;
  EXPECT_EQ(remaining_in(second), 0u);
}

}  // namespace
}  // namespace quellgate::engine
