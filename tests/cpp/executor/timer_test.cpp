#include "executor/timer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace quellgate::executor {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;

constexpr nanoseconds kStart = 5s;  // an arbitrary monotonic reading at build

std::vector<std::uint64_t> fire(Timer& timer, nanoseconds now) {
  std::vector<std::uint64_t> fired;
  timer.process(now, [&](TimerEntry& entry) {
    EXPECT_FALSE(entry.filed()) << "an entry is handed out only after it left the timer";
    fired.push_back(entry.tick);
  });
  return fired;
}

TEST(TimerTicks, SleepCreatedMidMillisecondFiresNoEarlierThanItsRoundedUpBoundary) {
  Timer timer(kStart);
  const nanoseconds created = kStart + 10ms + 500us;
  TimerEntry entry;
  entry.tick = timer.tick_for_deadline(deadline_after(created, 1200us));
  EXPECT_EQ(entry.tick, 12u);
  ASSERT_FALSE(timer.already_due(entry.tick));
  timer.file(entry);
  EXPECT_TRUE(fire(timer, kStart + 12ms - 1ns).empty());
  EXPECT_EQ(fire(timer, kStart + 12ms), std::vector<std::uint64_t>{12});
}

TEST(TimerTicks, ZeroDurationRoundsUpToTheNextBoundaryUnlessAlreadyProcessed) {
  Timer timer(kStart);
  EXPECT_EQ(timer.tick_for_deadline(deadline_after(kStart + 10ms + 1ns, 0ns)), 11u);
  // Exactly on a boundary the tick is that boundary; once processed, a sleep
  // for it completes without being filed.
  const std::uint64_t on_boundary = timer.tick_for_deadline(deadline_after(kStart + 10ms, 0ns));
  EXPECT_EQ(on_boundary, 10u);
  EXPECT_FALSE(timer.already_due(on_boundary));
  fire(timer, kStart + 10ms);
  EXPECT_TRUE(timer.already_due(on_boundary));
  EXPECT_FALSE(timer.already_due(on_boundary + 1));
}

TEST(TimerTicks, DeadlinesAtOrBeforeTheStartMapToTickZero) {
  Timer timer(kStart);
  EXPECT_EQ(timer.tick_for_deadline(kStart - 3s), 0u);
  EXPECT_EQ(timer.tick_for_deadline(kStart), 0u);
  EXPECT_EQ(timer.tick_for_deadline(kStart + 1ns), 1u);
  EXPECT_EQ(timer.tick_at(kStart - 1ns), 0u);
  EXPECT_EQ(timer.tick_at(kStart + 1ms - 1ns), 0u);
  EXPECT_TRUE(timer.already_due(0));
}

TEST(TimerTicks, LargestDurationSleepsThirtyYearsInsteadOfOverflowing) {
  const nanoseconds now = kStart + 123ms;
  const nanoseconds deadline = deadline_after(now, nanoseconds::max());
  EXPECT_EQ(deadline, now + 946'080'000s);
  Timer timer(kStart);
  const std::uint64_t tick = timer.tick_for_deadline(deadline);
  EXPECT_FALSE(timer.already_due(tick));
  EXPECT_EQ(timer.instant_of(tick), kStart + nanoseconds(static_cast<nanoseconds::rep>(tick) * 1'000'000));
  EXPECT_GE(*timer.instant_of(tick), deadline);
}

TEST(TimerTicks, NegativeDurationsCountAsZeroAndHugeTicksHaveNoInstant) {
  EXPECT_EQ(deadline_after(kStart, -5ms), kStart);
  Timer timer(kStart);
  EXPECT_FALSE(timer.instant_of(kLastTick).has_value());
}

TEST(TimerProcessing, FiresInTickOrderAndNeverProcessesBackwards) {
  Timer timer(kStart);
  std::vector<TimerEntry> entries(5);
  const std::uint64_t ticks[] = {5, 3, 9, 3, 7};
  for (std::size_t i = 0; i < entries.size(); ++i) {
    entries[i].tick = ticks[i];
    timer.file(entries[i]);
  }
  EXPECT_EQ(timer.earliest_tick(), 3u);
  EXPECT_EQ(fire(timer, kStart + 6ms + 999us), (std::vector<std::uint64_t>{3, 3, 5}));
  EXPECT_EQ(timer.last_processed_tick(), 6u);
  EXPECT_TRUE(fire(timer, kStart + 2ms).empty()) << "an earlier reading must not rewind the timer";
  EXPECT_EQ(timer.last_processed_tick(), 6u);
  EXPECT_EQ(fire(timer, kStart + 9ms), (std::vector<std::uint64_t>{7, 9}));
  EXPECT_EQ(timer.filed_count(), 0u);
  EXPECT_FALSE(timer.earliest_tick().has_value());
}

TEST(TimerProcessing, WithdrawnEntriesNeverFireAndWithdrawingTwiceIsHarmless) {
  Timer timer(kStart);
  TimerEntry early, middle, late;
  early.tick = 2;
  middle.tick = 4;
  late.tick = 6;
  for (TimerEntry* entry : {&late, &early, &middle}) timer.file(*entry);
  timer.withdraw(early);
  timer.withdraw(early);
  EXPECT_FALSE(early.filed());
  EXPECT_EQ(timer.earliest_tick(), 4u);
  EXPECT_EQ(fire(timer, kStart + 10ms), (std::vector<std::uint64_t>{4, 6}));
  timer.withdraw(middle);  // already fired: nothing to do
  EXPECT_EQ(timer.filed_count(), 0u);
}

TEST(TimerProcessing, RandomFilingAndWithdrawalKeepsExactlyTheSurvivorsInOrder) {
  std::mt19937 random(7);
  Timer timer(kStart);
  std::vector<TimerEntry> entries(2000);
  for (auto& entry : entries) {
    entry.tick = 1 + random() % 500;
    timer.file(entry);
  }
  std::vector<std::uint64_t> survivors;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (random() % 2) timer.withdraw(entries[i]);
    else survivors.push_back(entries[i].tick);
  }
  std::sort(survivors.begin(), survivors.end());
  std::vector<std::uint64_t> fired;
  for (nanoseconds now = kStart; now <= kStart + 520ms; now += 7ms) {
    for (std::uint64_t tick : fire(timer, now)) {
      EXPECT_LE(tick, timer.tick_at(now)) << "fired before its tick";
      fired.push_back(tick);
    }
  }
  EXPECT_EQ(fired, survivors);
}

}  // namespace
}  // namespace quellgate::executor
