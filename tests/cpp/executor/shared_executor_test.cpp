#include "executor/shared_executor.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "test_support.hpp"

namespace quellgate::executor {
namespace {

using namespace testing;

Task<int> answer() { co_return 42; }

TEST(SharedExecutor, IsBuiltOnceAndServesTheFreeSpawn) {
  BackgroundExecutor& executor = shared_executor();
  EXPECT_EQ(&executor, &shared_executor());
  EXPECT_GE(executor.worker_count(), 1u);
  const auto outcome = outcome_of(executor, spawn(answer()));
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->value(), 42);
}

}  // namespace
}  // namespace quellgate::executor
