#include <gtest/gtest.h>

#include <string>

#include "engine/admission.hpp"
#include "engine/burst.hpp"
#include "engine/local_keys.hpp"
#include "engine/report.hpp"
#include "fake_clock.hpp"

namespace quellgate::engine {
namespace {

using namespace std::chrono_literals;
using testing::make_core;
using testing::utc;

LimiterCore view(const LimiterCore& core, std::string_view key) { return core.for_key(key).value(); }

std::uint64_t left(const LimiterCore& core, std::string_view window, std::chrono::nanoseconds now) {
  return report_remaining(core, now).find(window).value();
}

TEST(LocalKeysTest, EachKeyCountsApartFromTheOthersAndFromTheLimiter) {
  const LimiterCore core = make_core({.sec = 2, .min = 3});
  const LimiterCore a = view(core, "a");
  const LimiterCore long_key = view(core, std::string(256, 'k'));
  const auto now = utc(12, 0, 0);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(try_admit(a, now), Admission::admitted);
  EXPECT_EQ(try_admit(view(core, "a"), now), Admission::refused);  // another view of the same key
  EXPECT_EQ(try_admit(long_key, now), Admission::admitted);
  EXPECT_EQ(try_admit(core, now), Admission::admitted);
  EXPECT_EQ(left(a, "minute", now), 1u);
  EXPECT_EQ(left(long_key, "second", now), 1u);
  EXPECT_EQ(left(core, "second", now), 1u);
  EXPECT_LE(compute_wait(a, now).value(), 1s);
  EXPECT_EQ(compute_wait(long_key, now), std::nullopt);
  EXPECT_EQ(try_admit(a, now + 1s), Admission::admitted);  // the second rolled over, not the minute
  EXPECT_EQ(try_admit(a, now + 1s), Admission::refused);
  EXPECT_FALSE(a.for_key("b").has_value());  // a key's view takes no further key
}

TEST(LocalKeysTest, ACostIsCountedInEveryWindowOrInNone) {
  const LimiterCore core = make_core({.sec = 5, .min = 7});
  const LimiterCore key = view(core, "cost");
  const auto now = utc(12, 0, 0);
  EXPECT_TRUE(key.home()->admit(now, false, 4).admitted);
  const CountHome::Attempt refused = key.home()->admit(now, false, 2);
  EXPECT_FALSE(refused.admitted);
  EXPECT_EQ(refused.window_wait, 1s);
  EXPECT_EQ(left(key, "second", now), 1u);
  EXPECT_EQ(left(key, "minute", now), 3u);
  EXPECT_FALSE(view(core, "fresh").home()->admit(now, false, 6).admitted);  // refused: no record kept
}

TEST(LocalKeysTest, EachKeyHasItsOwnBurstPermits) {
  const LimiterCore core = make_core({.sec = 100, .max_burst = 1});
  const LimiterCore a = view(core, "a");
  const auto now = utc(12, 0, 0);
  EXPECT_EQ(try_admit(a, now), Admission::admitted);
  EXPECT_TRUE(a.home()->admit(now, true, 1).burst_refused);
  EXPECT_EQ(burst_remaining(a), 0u);
  EXPECT_EQ(try_admit(view(core, "b"), now), Admission::admitted);
  EXPECT_EQ(burst_remaining(core), 1u);
  const std::uint32_t seen = a.home()->releases_seen();
  release_burst(view(core, "a"));
  EXPECT_NE(a.home()->releases_seen(), seen);
  EXPECT_EQ(try_admit(a, now), Admission::admitted);
}

TEST(LocalKeysTest, SettleChangesOnlyTheWindowsStillCurrent) {
  const LimiterCore core = make_core({.sec = 5, .min = 10});
  const LimiterCore key = view(core, "k");
  const auto now = utc(12, 0, 0);
  const CountHome::Attempt first = key.home()->admit(now, false, 3);
  key.home()->settle(first.decided_at, 4);  // over the limit, without refusal
  EXPECT_EQ(left(key, "second", now), 0u);
  EXPECT_EQ(left(key, "minute", now), 3u);
  key.home()->settle(first.decided_at, -100);  // never below 0
  EXPECT_EQ(left(key, "minute", now), 10u);
  const CountHome::Attempt later = key.home()->admit(now + 2s, false, 2);
  key.home()->settle(first.decided_at, 5);  // its second rolled over: the minute alone
  EXPECT_EQ(left(key, "second", later.decided_at), 3u);
  EXPECT_EQ(left(key, "minute", later.decided_at), 3u);
}

TEST(LocalKeysTest, IdleKeysAreDroppedButNotOneHoldingAPermit) {
  const std::array<WindowState, 1> second{WindowState{.name = "second", .limit = 5, .length = 1}};
  LocalKeys keys(second, 1);
  const auto now = utc(12, 0, 0);
  EXPECT_TRUE(keys.admit(KeyRef::of("holder", 0), now, true, 1).admitted);
  for (int i = 0; i < 1000; ++i) keys.admit(KeyRef::of("k" + std::to_string(i), 0), now, false, 1);
  EXPECT_EQ(keys.live(), 1001u);
  const std::size_t grown = keys.capacity();
  // Ten new keys a second from the next on: the counts before roll over, but
  // the holder keeps its record; the others go as new keys come, and the
  // array shrinks after them.
  for (int i = 0; i < 2000; ++i) keys.admit(KeyRef::of("n" + std::to_string(i), 0), now + 1s + i * 100ms, false, 1);
  EXPECT_LT(keys.live(), 100u);
  EXPECT_LT(keys.capacity(), grown);
  EXPECT_EQ(keys.burst_remaining(KeyRef::of("holder", 0)), 0u);
  keys.release_permit(KeyRef::of("holder", 0));
  // Nothing held, everything rolled over: the whole array goes at once.
  keys.admit(KeyRef::of("last", 0), now + 300s, false, 1);
  EXPECT_EQ(keys.live(), 1u);
  EXPECT_EQ(keys.capacity(), 16u);
}

}  // namespace
}  // namespace quellgate::engine
