#include "executor/sleep.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <vector>

#include "executor/clock.hpp"
#include "test_support.hpp"

namespace quellgate::executor {
namespace {

using namespace testing;
using std::chrono::nanoseconds;

// Returns how long the sleep really took, measured around its whole life.
Task<nanoseconds> timed_sleep(nanoseconds duration) {
  const nanoseconds before = monotonic_now();
  co_await sleep(duration);
  co_return monotonic_now() - before;
}

TEST(ExecutorSleep, NeverCompletesBeforeItsDuration) {
  BackgroundExecutor executor({.worker_threads = 2});
  std::mt19937 random(11);
  std::vector<nanoseconds> durations;
  std::vector<JobHandle<nanoseconds>> jobs;
  for (int i = 0; i < 200; ++i) {
    durations.push_back(nanoseconds(random() % 20'000'000));
    jobs.push_back(executor.spawn(timed_sleep(durations.back())));
  }
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    const auto slept = outcome_of(executor, std::move(jobs[i]));
    ASSERT_TRUE(slept);
    EXPECT_GE(slept->value(), durations[i]);
  }
}

Task<int> sleep_in_steps(int steps, nanoseconds each) {
  for (int i = 0; i < steps; ++i) co_await sleep(each);
  co_return steps;
}

TEST(ExecutorSleep, ZeroAndRepeatedSleepsComplete) {
  BackgroundExecutor executor({.worker_threads = 1});
  const auto zero = run_to_end(executor, timed_sleep(nanoseconds::zero()));
  ASSERT_TRUE(zero);
  const auto stepped = run_to_end(executor, sleep_in_steps(20, 1ms));
  ASSERT_TRUE(stepped);
  EXPECT_EQ(stepped->value(), 20);
}

Task<void> sleep_then_count(nanoseconds duration, std::atomic<int>& woken) {
  co_await sleep(duration);
  woken.fetch_add(1);
}

// Were a sleeping job holding its worker, 1000 sleeps of 50 ms on two
// workers would need 25 s; on the timer they overlap.
TEST(ExecutorSleep, ThousandsOfSleepingJobsShareTwoWorkers) {
  BackgroundExecutor executor({.worker_threads = 2});
  std::atomic<int> woken{0};
  const auto start = monotonic_now();
  for (int i = 0; i < 1000; ++i) (void)executor.spawn(sleep_then_count(50ms, woken));
  EXPECT_TRUE(eventually([&] { return woken.load() == 1000; })) << woken.load();
  EXPECT_LT(monotonic_now() - start, 12s);
}

// One worker parks as timekeeper waiting an hour; the short sleep is filed
// by the other worker and must cut that wait short.
TEST(ExecutorSleep, AnEarlierSleepFiledLaterShortensTheTimekeepersWait) {
  BackgroundExecutor executor({.worker_threads = 2});
  std::atomic<int> woken{0};
  auto cancel = std::make_shared<CancelSignal>();
  auto hour = executor.spawn(sleep_then_count(1h, woken), cancel);
  thread_sleep(50ms);  // both workers park
  const auto short_sleep = run_to_end(executor, timed_sleep(5ms));
  ASSERT_TRUE(short_sleep) << "the timekeeper kept waiting for the hour-long sleep";
  EXPECT_GE(short_sleep->value(), 5ms);
  cancel->cancel();
  ASSERT_TRUE(outcome_of(executor, std::move(hour)));
  EXPECT_EQ(woken.load(), 0);
}

// Layers like the ones the asyncio side stacks around each job.
Task<void> sleep_for_an_hour(std::atomic<int>& asleep) {
  asleep.fetch_add(1);
  co_await sleep(1h);
}
Task<void> wrapped_sleep(std::atomic<int>& asleep) {
  co_await scope(std::make_shared<int>(1), sleep_for_an_hour(asleep));
}

TEST(ExecutorSleep, TenThousandSleepingJobsCostFarLessThanTwoKibibytesEach) {
  BackgroundExecutor executor({.worker_threads = 2});
  constexpr int kJobs = 10'000;
  std::vector<std::shared_ptr<CancelSignal>> cancels;
  std::vector<JobHandle<void>> handles;
  cancels.reserve(kJobs);
  handles.reserve(kJobs);
  for (int i = 0; i < kJobs; ++i) cancels.push_back(std::make_shared<CancelSignal>());
  const std::size_t before = heap_in_use();
  std::atomic<int> asleep{0};
  for (int i = 0; i < kJobs; ++i) handles.push_back(executor.spawn(wrapped_sleep(asleep), cancels[i]));
  ASSERT_TRUE(eventually([&] { return asleep.load() == kJobs; }));
  thread_sleep(50ms);  // the last few file their sleeps
  const std::size_t per_job = (heap_in_use() - before) / kJobs;
  EXPECT_LT(per_job, 1024u);
  RecordProperty("bytes_per_sleeping_job", static_cast<int>(per_job));

  for (auto& cancel : cancels) cancel->cancel();
  for (auto& handle : handles) {
    const auto outcome = outcome_of(executor, std::move(handle));
    ASSERT_TRUE(outcome);
    ASSERT_FALSE(outcome->has_value());
    EXPECT_EQ(outcome->error().kind, JobFailure::Kind::cancelled);
  }
}

}  // namespace
}  // namespace quellgate::executor
