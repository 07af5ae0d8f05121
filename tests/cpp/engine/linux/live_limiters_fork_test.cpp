// Live limiters across fork(): the forking thread holds every table and
// waiter list, so the child copies none mid-change.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <span>
#include <thread>

#include "engine/admission.hpp"
#include "engine/burst.hpp"
#include "engine/live_limiters.hpp"
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

std::uint64_t first_count(const LimiterCore& core) {
  return core.window_table().with_lock([](std::span<WindowState> windows) { return windows[0].count; }).value();
}

// What the module registers when it loads, for this test binary.
void hold_limiters_across_fork() {
  static const bool registered = [] {
    return pthread_atfork(LiveLimiters::hold_all, LiveLimiters::release_all_in_parent,
                          LiveLimiters::release_all_in_child) == 0;
  }();
  ASSERT_TRUE(registered);
}

// Forks; the child runs `body` and exits with its result as status. Returns
// the child's exit status.
template <class Body>
int status_of_child(Body body) {
  const pid_t child = fork();
  if (child == 0) {
    alarm(5);  // a child left with a lock held dies of SIGALRM instead of hanging the test
    _exit(body());
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return -1;
  if (!WIFEXITED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

TEST(LiveLimitersTest, ForkWaitsForASectionInProgressSoTheChildCanUseTheTable) {
  hold_limiters_across_fork();
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

// A waiter whose wake must not happen in the child: its thread is not there.
struct StrandedWaiter final : Waiter {
  std::atomic<int> wakes{0};
  void wake() noexcept override {
    if (getpid() != parent) _exit(3);
    wakes.fetch_add(1);
  }
  pid_t parent = getpid();
};

TEST(LiveLimitersTest, ChildStartsWithEveryBurstPermitFreeAndForgetsTheParentsWaiters) {
  hold_limiters_across_fork();
  const auto core = make_core({.sec = 100, .max_burst = 2});
  ASSERT_EQ(try_admit(core, utc(12, 0, 0)), Admission::admitted);
  ASSERT_EQ(try_admit(core, utc(12, 0, 0)), Admission::admitted);
  StrandedWaiter waiter;
  core.waiters().enlist(waiter, WakeOn::release_or_interrupt);

  const int child_status = status_of_child([&] {
    if (core.burst_in_use().load() != 0 || core.waiters().has_burst_waiters()) return 1;
    release_burst(core);  // would wake the stranded waiter if it were still listed
    core.set_interrupt();
    core.clear_interrupt();
    const bool both = try_admit(core, utc(12, 0, 0)) == Admission::admitted &&
                      try_admit(core, utc(12, 0, 0)) == Admission::admitted;
    return both && try_admit(core, utc(12, 0, 0)) == Admission::refused ? 0 : 2;
  });
  EXPECT_EQ(child_status, 0);

  // The parent keeps its permits and its waiter.
  EXPECT_EQ(core.burst_in_use().load(), 2u);
  release_burst(core);
  EXPECT_EQ(waiter.wakes.load(), 1);
  core.waiters().withdraw(waiter);
}

}  // namespace
}  // namespace quellgate::engine
