#include "executor/job_local.hpp"

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace quellgate::executor {
namespace {

using namespace testing;

std::shared_ptr<void> value_of(int x) { return std::make_shared<int>(x); }

int read_local() {
  auto bound = current_job_local();
  return bound ? *static_cast<int*>(bound.get()) : -1;
}

Task<int> read_after_sleep() {
  co_await sleep(2ms);  // may resume on another worker
  co_return read_local();
}

Task<int> nested_reads() {
  const int outer_before = read_local();
  const int inner = co_await scope(value_of(2), read_after_sleep());
  const int outer_after = co_await read_after_sleep();
  co_return outer_before * 100 + inner * 10 + outer_after;
}

Task<int> outside_then_inside() {
  const int before = read_local();
  const int inside = co_await scope(value_of(1), nested_reads());
  const int after = read_local();
  co_return (before + 1) * 10000 + inside * 10 + (after + 1);
}

TEST(JobLocal, ScopeBindsAcrossSuspensionsAndRestoresTheOuterValue) {
  BackgroundExecutor executor({.worker_threads = 2});
  const auto outcome = run_to_end(executor, outside_then_inside());
  ASSERT_TRUE(outcome);
  // before: none; inside: outer 1, inner 2, outer again 1; after: none.
  EXPECT_EQ(outcome->value(), 0 * 10000 + 121 * 10 + 0);
}

Task<int> read_in_child(BackgroundExecutor& executor) {
  auto child = executor.spawn(read_after_sleep());
  co_return (co_await child).value();
}

TEST(JobLocal, AValueIsNotVisibleToOtherJobsOrOutsideAnyJob) {
  BackgroundExecutor executor({.worker_threads = 2});
  const auto outcome = run_to_end(executor, scope(value_of(7), read_in_child(executor)));
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->value(), -1);
  EXPECT_EQ(current_job_local(), nullptr);
}

struct ReadsLocalOnDestruction {
  int* seen;
  ~ReadsLocalOnDestruction() { *seen = read_local(); }
};

Task<void> sleep_forever_watching(int* seen) {
  ReadsLocalOnDestruction watcher{seen};
  co_await sleep(1h);
}

TEST(JobLocal, AnAbandonedInnerFrameStillSeesItsValueWhileBeingDestroyed) {
  BackgroundExecutor executor({.worker_threads = 1});
  int seen = 0;
  auto cancel = std::make_shared<CancelSignal>();
  cancel->cancel();
  const auto outcome = run_to_end(executor, scope(value_of(9), sleep_forever_watching(&seen)), cancel);
  ASSERT_TRUE(outcome);
  EXPECT_FALSE(outcome->has_value());
  EXPECT_EQ(seen, 9);
}

}  // namespace
}  // namespace quellgate::executor
