#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>

#include "test_support.hpp"

namespace quellgate::executor {
namespace {

using namespace testing;

// What an interpreter does to a foreign thread that takes its lock while it
// finalises.
Task<void> end_this_thread_with_pthread_exit(std::atomic<int>& entered) {
  entered.fetch_add(1);
  pthread_exit(nullptr);
  co_return;
}

Task<void> exit_from_nested_frame(std::atomic<int>& entered) { co_await end_this_thread_with_pthread_exit(entered); }

Task<int> answer() { co_return 42; }

TEST(OsThread, PthreadExitInsideAJobEndsOnlyThatWorker) {
  BackgroundExecutor executor({.worker_threads = 2, .thread_name = "qg-unwind-test"});
  ASSERT_TRUE(eventually([] { return count_threads_named("qg-unwind-test") == 2; }));
  std::atomic<int> entered{0};
  (void)executor.spawn(exit_from_nested_frame(entered));
  ASSERT_TRUE(eventually([] { return count_threads_named("qg-unwind-test") == 1; }))
      << "the forced unwind must end the worker thread, not the process";
  EXPECT_EQ(entered.load(), 1);
  for (int i = 0; i < 20; ++i) {
    const auto outcome = run_to_end(executor, answer());
    ASSERT_TRUE(outcome) << "the surviving worker stopped running jobs";
    EXPECT_EQ(outcome->value(), 42);
  }
}

}  // namespace
}  // namespace quellgate::executor
