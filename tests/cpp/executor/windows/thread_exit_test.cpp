#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>

#include "executor/blocking_pool.hpp"

#include "test_support.hpp"

namespace quellgate::executor {
namespace {

using namespace testing;

// What the interpreter does on Windows to a foreign thread that takes its
// lock while it finalises: _endthreadex, which ends the thread where it
// stands, with no unwinding and no destructor run.
Task<void> end_this_thread_where_it_stands(std::atomic<int>& entered) {
  entered.fetch_add(1);
  ExitThread(0);
  co_return;
}

Task<void> exit_from_nested_frame(std::atomic<int>& entered) { co_await end_this_thread_where_it_stands(entered); }

Task<int> answer() { co_return 42; }

// No executor lock may be held while a job runs, or the survivors would wait
// for the dead worker's forever.
TEST(ThreadExit, EndingAWorkerWithoutUnwindingLeavesTheOthersRunningJobs) {
  BackgroundExecutor executor({.worker_threads = 2, .thread_name = "qg-exit-test"});
  ASSERT_TRUE(eventually([] { return count_threads_named("qg-exit-test") == 2; }));
  std::atomic<int> entered{0};
  (void)executor.spawn(exit_from_nested_frame(entered));
  ASSERT_TRUE(eventually([] { return count_threads_named("qg-exit-test") == 1; }));
  EXPECT_EQ(entered.load(), 1);
  for (int i = 0; i < 20; ++i) {
    const auto outcome = run_to_end(executor, answer());
    ASSERT_TRUE(outcome) << "the surviving worker stopped running jobs";
    EXPECT_EQ(outcome->value(), 42);
  }
}

// A blocking-pool thread ended inside a call leaves the pool's count, though
// none of its destructors runs, so the pool starts another for the next call.
TEST(ThreadExit, ABlockingThreadEndedInsideACallLeavesThePoolsCount) {
  BlockingPool pool({.max_threads = 1, .thread_name = "qg-exit-pool"});
  pool.submit([] { ExitThread(0); });
  ASSERT_TRUE(eventually([&] { return pool.thread_count() == 0 && count_threads_named("qg-exit-pool") == 0; }));
  std::atomic<bool> ran{false};
  pool.submit([&ran] { ran.store(true); });
  EXPECT_TRUE(eventually([&] { return ran.load(); }));
}

}  // namespace
}  // namespace quellgate::executor
