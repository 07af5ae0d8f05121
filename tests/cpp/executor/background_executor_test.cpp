#include "executor/background_executor.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "test_support.hpp"

namespace quellgate::executor {
namespace {

using namespace testing;

Task<int> square(int x) { co_return x * x; }

Task<int> sum_of_squares(BackgroundExecutor& executor, int n) {
  std::vector<JobHandle<int>> children;
  for (int i = 1; i <= n; ++i) children.push_back(executor.spawn(square(i)));
  int total = 0;
  for (auto& child : children) total += (co_await child).value();
  co_return total;
}

TEST(BackgroundExecutor, JobsSpawnedFromInsideAJobRunAndDeliverTheirValues) {
  BackgroundExecutor executor({.worker_threads = 2});
  EXPECT_EQ(executor.worker_count(), 2u);
  const auto outcome = run_to_end(executor, sum_of_squares(executor, 50));
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->value(), 42925);
}

Task<std::thread::id> thread_of_job() { co_return std::this_thread::get_id(); }

TEST(BackgroundExecutor, SpawnNeverRunsTheJobOnTheCallingThread) {
  BackgroundExecutor executor({.worker_threads = 1});
  const auto outcome = run_to_end(executor, thread_of_job());
  ASSERT_TRUE(outcome);
  EXPECT_NE(outcome->value(), std::this_thread::get_id());
}

Task<void> set_flag(std::atomic<bool>& flag) {
  flag.store(true);
  co_return;
}

// On a single worker busy with the parent, the child can only have run if
// spawn ran it inline.
Task<bool> child_ran_inline_during_spawn(BackgroundExecutor& executor) {
  std::atomic<bool> child_ran{false};
  auto child = executor.spawn(set_flag(child_ran));
  const bool ran_inline = child_ran.load() || child.is_finished();
  (void)co_await child;
  co_return ran_inline || !child_ran.load();
}

TEST(BackgroundExecutor, SpawnInsideAJobQueuesTheChildInsteadOfRunningIt) {
  BackgroundExecutor executor({.worker_threads = 1});
  const auto outcome = run_to_end(executor, child_ran_inline_during_spawn(executor));
  ASSERT_TRUE(outcome);
  EXPECT_FALSE(outcome->value());
}

Task<int> throw_runtime_error() {
  throw std::runtime_error("boom");
  co_return 0;
}

Task<int> throw_non_exception() {
  throw 42;
  co_return 0;
}

Task<int> rethrow_from_nested(BackgroundExecutor&) { co_return co_await throw_runtime_error() + 1; }

TEST(BackgroundExecutor, AThrowingJobReportsPanickedAndTheWorkerGoesOn) {
  BackgroundExecutor executor({.worker_threads = 1});
  auto failed = run_to_end(executor, throw_runtime_error());
  ASSERT_TRUE(failed);
  ASSERT_FALSE(failed->has_value());
  EXPECT_EQ(failed->error().kind, JobFailure::Kind::panicked);
  EXPECT_EQ(failed->error().message, "boom");

  auto opaque = run_to_end(executor, throw_non_exception());
  ASSERT_TRUE(opaque);
  ASSERT_FALSE(opaque->has_value());
  EXPECT_EQ(opaque->error().kind, JobFailure::Kind::panicked);
  EXPECT_FALSE(opaque->error().message.has_value());

  auto nested = run_to_end(executor, rethrow_from_nested(executor));
  ASSERT_TRUE(nested);
  ASSERT_FALSE(nested->has_value());
  EXPECT_EQ(nested->error().message, "boom") << "an exception crosses co_await into the awaiting task";

  auto after = run_to_end(executor, square(7));
  ASSERT_TRUE(after) << "the only worker must survive the failures";
  EXPECT_EQ(after->value(), 49);
}

TEST(BackgroundExecutor, SpawningFromManyThreadsAtOnceLosesNoJob) {
  BackgroundExecutor executor({.worker_threads = 2});
  std::atomic<int> ran{0};
  std::vector<std::thread> spawners;
  for (int t = 0; t < 4; ++t) {
    spawners.emplace_back([&] {
      for (int i = 0; i < 500; ++i) (void)executor.spawn([](std::atomic<int>& counter) -> Task<void> {
        counter.fetch_add(1);
        co_return;
      }(ran));
    });
  }
  for (auto& spawner : spawners) spawner.join();
  EXPECT_TRUE(eventually([&] { return ran.load() == 2000; })) << ran.load();
}

Task<void> sleep_an_hour() { co_await sleep(1h); }

// A worker that spun instead of blocking would burn about 30 ticks here.
TEST(BackgroundExecutor, ParkedWorkersUseNoProcessorTimeEvenWithAFarTimerFiled) {
  BackgroundExecutor executor({.worker_threads = 2, .thread_name = "qg-idle-test"});
  auto cancel = std::make_shared<CancelSignal>();
  auto sleeper = executor.spawn(sleep_an_hour(), cancel);
  ASSERT_TRUE(eventually([] { return count_threads_named("qg-idle-test") == 2; }));
  thread_sleep(20ms);
  const long before = cpu_ticks_of_threads_named("qg-idle-test");
  thread_sleep(300ms);
  EXPECT_LE(cpu_ticks_of_threads_named("qg-idle-test") - before, 3);
  cancel->cancel();
  ASSERT_TRUE(outcome_of(executor, std::move(sleeper)));
}

TEST(BackgroundExecutor, ZeroWorkersAndEmptyTasksAreRefused) {
  EXPECT_THROW(BackgroundExecutor({.worker_threads = 0}), std::invalid_argument);
  BackgroundExecutor executor({.worker_threads = 1});
  EXPECT_THROW((void)executor.spawn(Task<int>{}), std::invalid_argument);
}

TEST(BackgroundExecutor, AThreadTheOsRefusesFailsTheBuildWithItsReason) {
  // A stack larger than the whole address space cannot be mapped.
  try {
    BackgroundExecutor executor({.worker_threads = 1, .stack_bytes = std::size_t{1} << 50});
    FAIL() << "the OS accepted a 1 PiB stack";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()).rfind("OS can't spawn worker thread: ", 0), 0u) << error.what();
  }
}

}  // namespace
}  // namespace quellgate::executor
