// A forked child has none of its parent's threads: the process-wide pools
// start afresh there, and a child that builds one tells how it went by its
// exit code.
#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "executor/shared_blocking_pool.hpp"
#include "executor/shared_executor.hpp"
#include "test_support.hpp"

namespace quellgate::executor {
namespace {

using namespace testing;

std::string build_failure() {
  try {
    shared_executor();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "built";
}

Task<int> answer() { co_return 42; }

struct Gate {
  std::promise<void> opened;
  std::shared_future<void> wait = opened.get_future().share();
  BlockingPool::Call blocker() {
    return [wait = wait] { wait.wait(); };
  }
  void open() { opened.set_value(); }
};

// Checks in the child return distinct codes, so a failure says which one.
TEST(SharedExecutor, AForkedChildRacesToBuildItsOwnPoolAndAllCallersShareIt) {
  BackgroundExecutor* parent_pool = &shared_executor();
  const int code = exit_code_in_child([parent_pool] {
    setenv("OSKEN_WORKER_THREADS", "3", 1);
    std::vector<BackgroundExecutor*> seen(4, nullptr);
    std::vector<std::thread> callers;
    for (auto& slot : seen) callers.emplace_back([&slot] { slot = &shared_executor(); });
    for (auto& caller : callers) caller.join();
    for (auto* pool : seen) {
      if (pool != seen[0]) return 10;
    }
    if (seen[0] == parent_pool) return 11;
    if (seen[0]->worker_count() != 3) return 12;
    if (!eventually([] { return count_threads_named("osken-runtime-w") == 3; })) return 13;
    const auto outcome = outcome_of(*seen[0], spawn(answer()));
    if (!outcome || outcome->value() != 42) return 14;
    return 0;
  });
  EXPECT_EQ(code, 0);
}

TEST(SharedExecutor, AnInvalidWorkerCountFailsTheBuildForGood) {
  shared_executor();  // the parent's pool, so the fork handler is in place
  const int code = exit_code_in_child([] {
    setenv("OSKEN_WORKER_THREADS", "0", 1);
    if (build_failure() != "\"OSKEN_WORKER_THREADS\" cannot be set to 0") return 20;
    setenv("OSKEN_WORKER_THREADS", "2", 1);
    const std::string later = build_failure();
    if (later == "built" || later.find("earlier") == std::string::npos) return 21;
    unsetenv("OSKEN_WORKER_THREADS");
    if (build_failure() == "built") return 22;
    if (count_threads_named("osken-runtime-w") != 0) return 23;
    return 0;
  });
  EXPECT_EQ(code, 0);
}

TEST(SharedExecutor, AMalformedWorkerCountNamesTheValue) {
  shared_executor();
  const int code = exit_code_in_child([] {
    setenv("OSKEN_WORKER_THREADS", " 2", 1);
    const std::string failure = build_failure();
    return failure == "\"OSKEN_WORKER_THREADS\" must be usize, error: invalid digit found in string, value:  2" ? 0 : 30;
  });
  EXPECT_EQ(code, 0);
}

// Made but never given a call, the pool starts nothing; a forked child does
// not count the parent's threads as its own, and starts its own on demand.
TEST(SharedBlockingPool, StartsNothingUnusedAndAForkedChildStartsAfresh) {
  BlockingPool& pool = shared_blocking_pool();
  EXPECT_EQ(&pool, &shared_blocking_pool());
  EXPECT_EQ(pool.thread_count(), 0u);
  EXPECT_EQ(count_threads_named("osken-runtime-w"), 0);

  Gate gate;
  pool.submit(gate.blocker());
  ASSERT_TRUE(eventually([&] { return count_threads_named("osken-runtime-w") == 1; }));
  const int code = exit_code_in_child([parent = &pool] {
    BlockingPool& fresh = shared_blocking_pool();
    if (&fresh == parent) return 10;
    if (fresh.thread_count() != 0) return 11;
    std::promise<void> ran;
    fresh.submit([&ran] { ran.set_value(); });
    if (ran.get_future().wait_for(kPatience) != std::future_status::ready) return 12;
    return 0;
  });
  EXPECT_EQ(code, 0);
  gate.open();
}

}  // namespace
}  // namespace quellgate::executor
