#include "executor/cancel_signal.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "test_support.hpp"

namespace quellgate::executor {
namespace {

using namespace testing;

// Counts itself while alive: shows whether an abandoned frame gave back what
// it held.
struct Holding {
  explicit Holding(std::atomic<int>& live) : live_(live) { live_.fetch_add(1); }
  ~Holding() { live_.fetch_sub(1); }
  Holding(const Holding&) = delete;
  Holding& operator=(const Holding&) = delete;
  std::atomic<int>& live_;
};

struct Observed {
  std::atomic<int> live{0};
  std::atomic<bool> reached_sleep{false};
  std::atomic<bool> ran_after_sleep{false};
};

Task<void> hold_while_sleeping(Observed& observed, std::chrono::nanoseconds duration) {
  Holding held(observed.live);
  observed.reached_sleep.store(true);
  co_await sleep(duration);
  observed.ran_after_sleep.store(true);
}

Task<void> nested_hold(Observed& observed, std::chrono::nanoseconds duration) {
  Holding outer(observed.live);
  co_await hold_while_sleeping(observed, duration);
  observed.ran_after_sleep.store(true);
}

void expect_cancelled(const std::optional<Outcome<void>>& outcome) {
  ASSERT_TRUE(outcome);
  ASSERT_FALSE(outcome->has_value());
  EXPECT_EQ(outcome->error().kind, JobFailure::Kind::cancelled);
}

TEST(Cancellation, CancellingASleepingJobDestroysEveryFrameAndReleasesWhatItHeld) {
  BackgroundExecutor executor({.worker_threads = 2});
  Observed observed;
  auto cancel = std::make_shared<CancelSignal>();
  auto handle = executor.spawn(nested_hold(observed, 1h), cancel);
  ASSERT_TRUE(eventually([&] { return observed.reached_sleep.load(); }));
  EXPECT_EQ(observed.live.load(), 2);
  cancel->cancel();
  expect_cancelled(outcome_of(executor, std::move(handle)));
  EXPECT_EQ(observed.live.load(), 0);
  EXPECT_FALSE(observed.ran_after_sleep.load());
}

// The sleep is withdrawn with the frame: when its deadline passes nothing
// fires into freed memory and nothing resumes.
TEST(Cancellation, AWithdrawnSleepLeavesNoWakeUpBehind) {
  BackgroundExecutor executor({.worker_threads = 2});
  std::vector<Observed> observed(50);
  std::vector<std::shared_ptr<CancelSignal>> cancels;
  std::vector<JobHandle<void>> handles;
  for (auto& each : observed) {
    cancels.push_back(std::make_shared<CancelSignal>());
    handles.push_back(executor.spawn(hold_while_sleeping(each, 30ms), cancels.back()));
  }
  for (auto& cancel : cancels) cancel->cancel();
  for (auto& handle : handles) {
    const auto outcome = outcome_of(executor, std::move(handle));
    ASSERT_TRUE(outcome);
    // A job whose sleep already fired may finish first; that is allowed.
    if (!outcome->has_value()) {
      EXPECT_EQ(outcome->error().kind, JobFailure::Kind::cancelled);
    }
  }
  int cancelled_before_waking = 0;
  for (auto& each : observed) cancelled_before_waking += each.ran_after_sleep.load() ? 0 : 1;
  thread_sleep(60ms);  // past every deadline
  int still_not_woken = 0;
  for (auto& each : observed) {
    still_not_woken += each.ran_after_sleep.load() ? 0 : 1;
    EXPECT_EQ(each.live.load(), 0);
  }
  EXPECT_EQ(still_not_woken, cancelled_before_waking);
  EXPECT_GT(cancelled_before_waking, 0);
}

TEST(Cancellation, AJobCancelledBeforeItStartsStopsAtItsFirstSuspension) {
  BackgroundExecutor executor({.worker_threads = 1});
  Observed observed;
  auto cancel = std::make_shared<CancelSignal>();
  cancel->cancel();
  expect_cancelled(run_to_end(executor, hold_while_sleeping(observed, 1h), cancel));
  EXPECT_TRUE(observed.reached_sleep.load());
  EXPECT_FALSE(observed.ran_after_sleep.load());
  EXPECT_EQ(observed.live.load(), 0);
}

Task<int> finish_without_suspending() { co_return 5; }

TEST(Cancellation, AJobThatFinishesInTheSameRunWinsOverTheCancel) {
  BackgroundExecutor executor({.worker_threads = 1});
  auto cancel = std::make_shared<CancelSignal>();
  cancel->cancel();
  const auto outcome = run_to_end(executor, finish_without_suspending(), cancel);
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->value(), 5);
}

Task<void> wait_for_nothing(OneShotReceiver<int> receiver, Observed& observed) {
  Holding held(observed.live);
  observed.reached_sleep.store(true);
  (void)co_await receiver;
  observed.ran_after_sleep.store(true);
}

TEST(Cancellation, CancelFromManyThreadsAtOnceEndsTheJobOnce) {
  BackgroundExecutor executor({.worker_threads = 2});
  Observed observed;
  auto [sender, receiver] = make_oneshot<int>();
  auto cancel = std::make_shared<CancelSignal>();
  auto handle = executor.spawn(wait_for_nothing(std::move(receiver), observed), cancel);
  ASSERT_TRUE(eventually([&] { return observed.reached_sleep.load(); }));
  std::vector<std::thread> cancellers;
  for (int i = 0; i < 4; ++i) cancellers.emplace_back([&] {
    for (int k = 0; k < 100; ++k) cancel->cancel();
  });
  for (auto& canceller : cancellers) canceller.join();
  EXPECT_TRUE(cancel->is_cancelled());
  expect_cancelled(outcome_of(executor, std::move(handle)));
  EXPECT_FALSE(sender.send(1)) << "the abandoned frame dropped its receiver";
  EXPECT_EQ(observed.live.load(), 0);
}

Task<void> keep_sleeping_briefly(Observed& observed) {
  Holding held(observed.live);
  observed.reached_sleep.store(true);
  for (int i = 0; i < 200; ++i) co_await sleep(std::chrono::microseconds(500 + i % 3 * 400));
  observed.ran_after_sleep.store(true);
}

// Cancels land while timers fire for the same jobs on the other worker: the
// jobs must end one way or the other and free everything they held.
TEST(Cancellation, CancelsRacingWithFiringTimersEndEveryJobCleanly) {
  BackgroundExecutor executor({.worker_threads = 2});
  constexpr int kJobs = 100;
  std::vector<Observed> observed(kJobs);
  std::vector<std::shared_ptr<CancelSignal>> cancels;
  std::vector<JobHandle<void>> handles;
  for (auto& each : observed) {
    cancels.push_back(std::make_shared<CancelSignal>());
    handles.push_back(executor.spawn(keep_sleeping_briefly(each), cancels.back()));
  }
  std::thread canceller([&] {
    for (int i = 0; i < kJobs; ++i) {
      cancels[(i * 37) % kJobs]->cancel();
      if (i % 10 == 0) thread_sleep(1ms);
    }
  });
  canceller.join();
  for (auto& handle : handles) ASSERT_TRUE(outcome_of(executor, std::move(handle)));
  for (auto& each : observed) EXPECT_EQ(each.live.load(), 0);
}

TEST(Cancellation, ASignalGuardsOnlyOneLiveJob) {
  BackgroundExecutor executor({.worker_threads = 1});
  Observed observed;
  auto cancel = std::make_shared<CancelSignal>();
  auto first = executor.spawn(hold_while_sleeping(observed, 1h), cancel);
  EXPECT_THROW((void)executor.spawn(finish_without_suspending(), cancel), std::logic_error);
  cancel->cancel();
  expect_cancelled(outcome_of(executor, std::move(first)));
}

}  // namespace
}  // namespace quellgate::executor
