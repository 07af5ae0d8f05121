// Threads and jobs sleeping on one limiter: woken by releases and by the
// interrupt flag, and never admitted beyond the burst cap when they race.
#include "limiters/limiter_waits.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <thread>
#include <vector>

#include "../executor/test_support.hpp"
#include "embedded_interpreter.hpp"
#include "engine/burst.hpp"
#include "executor/sleep.hpp"
#include "engine/limits.hpp"
#include "executor/executor.hpp"
#include "frame/gil.hpp"
#include "limiters/interpreter_main_thread.hpp"

namespace quellgate {
namespace {

using executor::testing::eventually;
using executor::testing::outcome_of;
using namespace std::chrono_literals;

constexpr std::uint64_t never_full = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint32_t an_hour_ms = 3'600'000;

engine::LimiterCore make_core(engine::LimitArgs args) { return engine::make_limiter_core(args).value(); }

// A step far longer than any test: only a wake can end it in time.
engine::AdmissionStep hour_long_step(engine::WakeOn wake_on) {
  return {engine::AdmissionStep::Kind::sleep, an_hour_ms, wake_on};
}

// Counts the sleeps that ended.
struct Ended {
  std::atomic<int> count{0};
};

void park_thread(const engine::LimiterCore& core, engine::WakeOn wake_on, Ended& ended) {
  NoSignalWatch watch;
  sleep_on_limiter(hour_long_step(wake_on), core, watch);
  ended.count.fetch_add(1);
}

executor::Task<void> park_job(engine::LimiterCore core, engine::WakeOn wake_on, Ended& ended) {
  co_await sleep_on_limiter_in_job(core, hour_long_step(wake_on));
  ended.count.fetch_add(1);
}

bool listed(const engine::LimiterCore& core, std::uint32_t burst_waiters) {
  return eventually([&] { return core.waiters().burst_waiter_count() == burst_waiters; });
}

TEST(LimiterWaitsTest, AReleaseEndsAThreadsAndAJobsHourLongBurstSleep) {
  const auto core = make_core({.sec = never_full, .max_burst = 1});
  ASSERT_TRUE(engine::take_burst(core));
  ASSERT_TRUE(core.waiters().claim_polling());  // as if another admission polled
  executor::BackgroundExecutor pool({.worker_threads = 1});
  Ended ended;
  std::jthread thread([&] { park_thread(core, engine::WakeOn::release_or_interrupt, ended); });
  auto job = pool.spawn(park_job(core, engine::WakeOn::release_or_interrupt, ended));
  ASSERT_TRUE(listed(core, 2));
  // Each release gives the permit back and wakes one of them; whoever is
  // woken would retake it, so take it back for the next round.
  for (int round = 1; round <= 2; ++round) {
    engine::release_burst(core);
    EXPECT_TRUE(eventually([&] { return ended.count.load() >= round; })) << "round " << round;
    ASSERT_TRUE(engine::take_burst(core));
  }
  EXPECT_TRUE(outcome_of(pool, std::move(job)).has_value());
  EXPECT_FALSE(core.waiters().has_burst_waiters());
}

TEST(LimiterWaitsTest, TheInterruptFlagEndsManyThreadAndJobSleepsOfBothKindsTogether) {
  const auto core = make_core({.sec = never_full, .max_burst = 1});
  ASSERT_TRUE(engine::take_burst(core));
  executor::BackgroundExecutor pool({.worker_threads = 2});
  Ended ended;
  constexpr int each = 10;
  std::vector<std::jthread> threads;
  std::vector<executor::JobHandle<void>> jobs;
  for (int i = 0; i < each; ++i) {
    const auto wake_on = i % 2 == 0 ? engine::WakeOn::release_or_interrupt : engine::WakeOn::interrupt_only;
    threads.emplace_back([&, wake_on] { park_thread(core, wake_on, ended); });
    jobs.push_back(pool.spawn(park_job(core, wake_on, ended)));
  }
  executor::thread_sleep(50ms);  // most are asleep by now; the others see the flag when they enlist
  core.set_interrupt();
  EXPECT_TRUE(eventually([&] { return ended.count.load() == 2 * each; })) << ended.count.load();
  for (auto& job : jobs) EXPECT_TRUE(outcome_of(pool, std::move(job)).has_value());
  EXPECT_EQ(core.burst_in_use().load(), 1u) << "waking takes and gives nothing";
}

// Holders seen at once, and the most ever seen.
struct Occupancy {
  std::atomic<std::uint64_t> now{0};
  std::atomic<std::uint64_t> most{0};
  std::atomic<int> admissions{0};

  void hold_and_give_back(const engine::LimiterCore& core) {
    const std::uint64_t holding = now.fetch_add(1) + 1;
    std::uint64_t seen = most.load();
    while (holding > seen && !most.compare_exchange_weak(seen, holding)) {
    }
    std::this_thread::yield();
    now.fetch_sub(1);
    admissions.fetch_add(1);
    engine::release_burst(core);
  }
};

executor::Task<void> admit_in_rounds(engine::LimiterCore core, int rounds, Occupancy& occupancy) {
  for (int i = 0; i < rounds; ++i) {
    if (co_await admit_waiting_in_job(core) != engine::Admission::admitted) co_return;
    occupancy.hold_and_give_back(core);
    // An admission that needs no wait completes at once and resumes this
    // loop from inside its own final step; without the compiler's tail call
    // there (sanitizer builds) a thousand rounds would nest a thousand
    // frames. A timer step gives each round a fresh stack.
    executor::Sleep next_round(std::chrono::milliseconds(0));
    co_await next_round;
  }
}

TEST(LimiterWaitsTest, ThreadsAndJobsRacingForTwoPermitsLoseNoWakeUpPermitOrCap) {
  constexpr std::uint64_t max_burst = 2;
  constexpr int racers = 4;
  constexpr int rounds = 1500;
  const auto core = make_core({.sec = never_full, .max_burst = max_burst});
  executor::BackgroundExecutor pool({.worker_threads = 2});
  Occupancy occupancy;
  std::vector<executor::JobHandle<void>> jobs;
  for (int i = 0; i < racers; ++i) jobs.push_back(pool.spawn(admit_in_rounds(core, rounds, occupancy)));
  std::vector<std::jthread> threads;
  for (int i = 0; i < racers; ++i) {
    threads.emplace_back([&] {
      NoSignalWatch watch;
      const auto sleep = [&](const engine::AdmissionStep& step, const engine::LimiterCore& limiter) {
        return sleep_on_limiter(step, limiter, watch);
      };
      for (int round = 0; round < rounds; ++round) {
        if (engine::admit_blocking(core, executor::wall_now, sleep) != engine::Admission::admitted) return;
        occupancy.hold_and_give_back(core);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (auto& job : jobs) ASSERT_TRUE(outcome_of(pool, std::move(job)).has_value()) << "a job is stuck";
  EXPECT_EQ(occupancy.admissions.load(), 2 * racers * rounds);
  EXPECT_LE(occupancy.most.load(), max_burst);
  EXPECT_EQ(core.burst_in_use().load(), 0u);
  EXPECT_FALSE(core.waiters().has_burst_waiters());
}

// Signal handlers run on the thread that initialised the interpreter (the
// test environment's), whichever thread asks first.
TEST(LimiterWaitsTest, TheMainThreadIsTheInterpretersWhicheverThreadAsksFirst) {
  const auto on_main_thread = [] {
    return gil::with_gil([] {
      const Result<bool> main_thread = on_interpreter_main_thread();
      return main_thread && *main_thread;
    });
  };
  testing::run_python("import threading");
  bool on_other_thread = true;
  std::thread([&] { on_other_thread = on_main_thread(); }).join();
  EXPECT_FALSE(on_other_thread);
  EXPECT_TRUE(on_main_thread());
}

}  // namespace
}  // namespace quellgate
