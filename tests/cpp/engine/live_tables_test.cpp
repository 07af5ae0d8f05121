#include "engine/live_tables.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <span>
#include <thread>

#include "engine/window_table.hpp"
#include "fake_clock.hpp"

namespace quellgate::engine {
namespace {

using namespace std::chrono_literals;
using testing::make_core;

// Counts one admission in the first window; true once it has.
bool count_one(const LimiterCore& core) {
  return core.window_table()
      .with_lock([](std::span<WindowState> windows) { return ++windows[0].count; })
      .has_value();
}

std::uint64_t first_count(const LimiterCore& core) {
  return core.window_table().with_lock([](std::span<WindowState> windows) { return windows[0].count; }).value();
}

TEST(LiveTablesTest, HoldAllKeepsEveryTableOutOfReachUntilReleaseAll) {
  const auto first = make_core({.sec = 5});
  const auto second = make_core({.min = 5, .day = 9});
  LiveTables::hold_all();
  std::atomic<int> sections_done{0};  // relaxed: read after the joins, or only to show nothing ran yet
  std::jthread on_first([&] { sections_done.fetch_add(count_one(first), std::memory_order_relaxed); });
  std::jthread on_second([&] { sections_done.fetch_add(count_one(second), std::memory_order_relaxed); });
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(sections_done.load(std::memory_order_relaxed), 0);
  LiveTables::release_all();
  on_first.join();
  on_second.join();
  EXPECT_EQ(sections_done.load(std::memory_order_relaxed), 2);
}

TEST(LiveTablesTest, DestroyedTablesLeaveTheListWhereverTheyStood) {
  auto oldest = std::make_optional(make_core({.sec = 1}));
  auto middle = std::make_optional(make_core({.sec = 2}));
  const auto kept = make_core({.sec = 3});
  auto newest = std::make_optional(make_core({.sec = 4}));
  middle.reset();
  newest.reset();
  oldest.reset();
  // Under ASan a stale link would be a use after free here.
  LiveTables::hold_all();
  LiveTables::release_all();
  EXPECT_TRUE(count_one(kept));
}

// What the module registers when it loads, for this test binary.
void hold_tables_across_fork() {
  static const bool registered = [] {
    return pthread_atfork(LiveTables::hold_all, LiveTables::release_all, LiveTables::release_all) == 0;
  }();
  ASSERT_TRUE(registered);
}

TEST(LiveTablesTest, ForkWaitsForASectionInProgressSoTheChildCanUseTheTable) {
  hold_tables_across_fork();
  const auto core = make_core({.sec = 5});
  std::atomic<bool> inside{false};   // release/acquire: the section has begun
  std::atomic<bool> may_leave{false};  // release/acquire: the test lets the section end
  std::jthread admitting([&] {
    core.window_table().with_lock([&](std::span<WindowState> windows) {
      inside.store(true, std::memory_order_release);
      while (!may_leave.load(std::memory_order_acquire)) std::this_thread::yield();
      return ++windows[0].count;
    });
  });
  while (!inside.load(std::memory_order_acquire)) std::this_thread::yield();

  pid_t child = -1;
  std::jthread forking([&] {
    child = fork();
    if (child == 0) {
      alarm(5);  // a child left with the table locked dies of SIGALRM instead of hanging the test
      _exit(first_count(core) == 1 && count_one(core) ? 0 : 1);
    }
  });
  // The fork is now waiting for the section, or about to; either way the
  // child must copy the table after the section ended.
  std::this_thread::sleep_for(20ms);
  may_leave.store(true, std::memory_order_release);
  admitting.join();
  forking.join();

  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(count_one(core));  // the parent's table is released too
  EXPECT_EQ(first_count(core), 2u);
}

}  // namespace
}  // namespace quellgate::engine
