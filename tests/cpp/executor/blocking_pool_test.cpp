#include "executor/blocking_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "executor/shared_blocking_pool.hpp"
#include "test_support.hpp"

namespace quellgate::executor {
namespace {

using namespace testing;

constexpr const char* kName = "blocking-test";

BlockingPool::Config config(std::size_t max_threads, std::chrono::nanoseconds idle_timeout) {
  return BlockingPool::Config{.max_threads = max_threads, .idle_timeout = idle_timeout, .thread_name = kName};
}

// A call that blocks its thread until the test opens the gate.
struct Gate {
  std::promise<void> opened;
  std::shared_future<void> wait = opened.get_future().share();
  BlockingPool::Call blocker() {
    return [wait = wait] { wait.wait(); };
  }
  void open() { opened.set_value(); }
};

// Runs one call and waits until its thread is idle again.
std::thread::id run_and_wait(BlockingPool& pool) {
  std::promise<std::thread::id> ran;
  auto id = ran.get_future();
  pool.submit([&ran] { ran.set_value(std::this_thread::get_id()); });
  EXPECT_EQ(id.wait_for(kPatience), std::future_status::ready);
  EXPECT_TRUE(eventually([&] { return pool.idle_count() == pool.thread_count(); }));
  return id.get();
}

TEST(BlockingPool, StartsThreadsOnlyForCallsThatFindNoneIdleAndReusesIdleOnes) {
  BlockingPool pool(config(64, 1h));
  EXPECT_EQ(pool.thread_count(), 0u);
  EXPECT_EQ(count_threads_named(kName), 0);

  const std::thread::id first = run_and_wait(pool);
  EXPECT_NE(first, std::this_thread::get_id());
  ASSERT_TRUE(eventually([&] { return count_threads_named(kName) == 1; }));
  // The same idle thread serves the next calls; no second thread appears.
  EXPECT_EQ(run_and_wait(pool), first);
  EXPECT_EQ(run_and_wait(pool), first);
  EXPECT_EQ(pool.thread_count(), 1u);

  // Calls that block each get a thread of their own while under the cap.
  Gate gate;
  for (int i = 0; i < 3; ++i) pool.submit(gate.blocker());
  EXPECT_TRUE(eventually([&] { return count_threads_named(kName) == 3 && pool.queued_count() == 0; }));
  EXPECT_EQ(pool.thread_count(), 3u);
  gate.open();
}

std::atomic<int> threads_ended{0};

TEST(BlockingPool, ThreadsEndAfterIdlingRunningTheEndHookAndANewCallStartsOneAgain) {
  auto ending_counted = config(64, 20ms);
  ending_counted.on_thread_end = [] { threads_ended.fetch_add(1); };
  BlockingPool pool(ending_counted);
  Gate gate;
  pool.submit(gate.blocker());
  pool.submit(gate.blocker());
  ASSERT_TRUE(eventually([&] { return count_threads_named(kName) == 2; }));
  gate.open();
  EXPECT_TRUE(eventually([&] { return pool.thread_count() == 0 && count_threads_named(kName) == 0; }));
  EXPECT_EQ(threads_ended.load(), 2);
  std::promise<void> ran;
  pool.submit([&ran] { ran.set_value(); });
  EXPECT_EQ(ran.get_future().wait_for(kPatience), std::future_status::ready);
  EXPECT_TRUE(eventually([&] { return pool.thread_count() == 0 && threads_ended.load() == 3; }));
}

TEST(BlockingPool, CallsBeyondTheCapWaitAndStartInSubmissionOrder) {
  BlockingPool pool(config(2, 1h));
  Gate first, second;
  pool.submit(first.blocker());
  pool.submit(second.blocker());
  ASSERT_TRUE(eventually([&] { return pool.queued_count() == 0; }));
  std::mutex order_lock;
  std::vector<int> order;
  std::promise<void> last_ran;
  for (int i = 0; i < 5; ++i) {
    pool.submit([&, i] {
      {
        std::lock_guard lock(order_lock);
        order.push_back(i);
      }
      if (i == 4) last_ran.set_value();
    });
  }
  EXPECT_EQ(pool.thread_count(), 2u);
  EXPECT_EQ(pool.queued_count(), 5u);
  EXPECT_TRUE(eventually([&] { return count_threads_named(kName) == 2; }));
  // One thread frees up: it alone drains the queue, so the order is strict.
  first.open();
  ASSERT_EQ(last_ran.get_future().wait_for(kPatience), std::future_status::ready);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(pool.thread_count(), 2u);
  second.open();
  // The calls refer to this frame: it must outlive them.
  EXPECT_TRUE(eventually([&] { return pool.idle_count() == 2; }));
}

Task<int> await_pool_call(BlockingPool& pool, std::shared_future<void> release) {
  auto [sender, receiver] = make_oneshot<int>();
  pool.submit([sender = std::move(sender), release]() mutable {
    release.wait();
    sender.send(7);
  });
  auto received = co_await std::move(receiver);
  co_return received.value_or(-1);
}

Task<int> open_gate(Gate& gate) {
  gate.open();
  co_return 0;
}

// The job waiting on a blocked call holds no worker: with a single worker,
// the job that unblocks the call still runs.
TEST(BlockingPool, AJobAwaitingACallLeavesTheWorkerFree) {
  BackgroundExecutor executor({.worker_threads = 1, .thread_name = "pool-test-w"});
  BlockingPool pool(config(4, 1h));
  Gate gate;
  auto waiting = executor.spawn(await_pool_call(pool, gate.wait));
  ASSERT_TRUE(eventually([&] { return pool.thread_count() == 1; }));
  ASSERT_TRUE(run_to_end(executor, open_gate(gate)));
  const auto outcome = outcome_of(executor, std::move(waiting));
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->value(), 7);
}

TEST(SharedBlockingPool, IdleTimeComesFromAValidEnvironmentValueOrTheDefault) {
  EXPECT_EQ(resolve_blocking_idle(std::nullopt), kDefaultBlockingIdle);
  EXPECT_EQ(resolve_blocking_idle("250"), 250ms);
  for (const char* refused : {"", "0", "-5", "1.5", "12ms", " 3"}) {
    try {
      resolve_blocking_idle(refused);
      ADD_FAILURE() << "accepted: " << refused;
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string(error.what()).rfind("\"OSKEN_BLOCKING_IDLE_MS\" ", 0), 0u) << error.what();
    }
  }
  EXPECT_EQ(resolve_blocking_idle("99999999999999"), std::chrono::hours(24));
}

}  // namespace
}  // namespace quellgate::executor
