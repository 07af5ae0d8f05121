#include "engine/live_limiters.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <span>
#include <thread>

#include "engine/admission.hpp"
#include "engine/burst.hpp"
#include "engine/waiters.hpp"
#include "engine/window_table.hpp"
#include "fake_clock.hpp"

namespace quellgate::engine {
namespace {

using namespace std::chrono_literals;
using testing::make_core;
using testing::utc;

// Counts one admission in the first window; true once it has.
bool count_one(const LimiterCore& core) {
  return core.window_table()
      .with_lock([](std::span<WindowState> windows) { return ++windows[0].count; })
      .has_value();
}

TEST(LiveLimitersTest, HoldAllKeepsEveryTableAndWaiterListOutOfReachUntilReleased) {
  const auto first = make_core({.sec = 5});
  const auto second = make_core({.min = 5, .day = 9});
  LiveLimiters::hold_all();
  std::atomic<int> sections_done{0};  // relaxed: read after the joins, or only to show nothing ran yet
  std::jthread on_first([&] { sections_done.fetch_add(count_one(first), std::memory_order_relaxed); });
  std::jthread on_second([&] { sections_done.fetch_add(count_one(second), std::memory_order_relaxed); });
  std::jthread waking([&] {
    second.set_interrupt();  // wakes the waiters: takes the list's lock
    sections_done.fetch_add(1, std::memory_order_relaxed);
  });
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(sections_done.load(std::memory_order_relaxed), 0);
  LiveLimiters::release_all_in_parent();
  on_first.join();
  on_second.join();
  waking.join();
  EXPECT_EQ(sections_done.load(std::memory_order_relaxed), 3);
}

TEST(LiveLimitersTest, DestroyedLimitersLeaveTheListWhereverTheyStood) {
  auto oldest = std::make_optional(make_core({.sec = 1}));
  auto middle = std::make_optional(make_core({.sec = 2}));
  const auto kept = make_core({.sec = 3});
  auto newest = std::make_optional(make_core({.sec = 4}));
  middle.reset();
  newest.reset();
  oldest.reset();
  // Under ASan a stale link would be a use after free here.
  LiveLimiters::hold_all();
  LiveLimiters::release_all_in_parent();
  EXPECT_TRUE(count_one(kept));
}

}  // namespace
}  // namespace quellgate::engine
