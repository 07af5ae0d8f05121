#include "executor/shared_executor.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

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

TEST(SharedExecutor, IsBuiltOnceAndServesTheFreeSpawn) {
  BackgroundExecutor& executor = shared_executor();
  EXPECT_EQ(&executor, &shared_executor());
  EXPECT_GE(executor.worker_count(), 1u);
  const auto outcome = outcome_of(executor, spawn(answer()));
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->value(), 42);
}

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

}  // namespace
}  // namespace quellgate::executor
