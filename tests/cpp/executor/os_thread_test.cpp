#include "executor/os_thread.hpp"

#include <gtest/gtest.h>

#include <atomic>

#include "test_support.hpp"

namespace quellgate::executor {
namespace {

using namespace testing;

TEST(OsThread, WorkersCarryTheirNameCutToLinuxsFifteenCharacters) {
  EXPECT_EQ(linux_thread_name("osken-runtime-worker"), "osken-runtime-w");
  EXPECT_EQ(linux_thread_name("short"), "short");
  BackgroundExecutor executor({.worker_threads = 3, .thread_name = "qg-names-test-worker"});
  EXPECT_EQ(count_threads_named("qg-names-test-w"), 3);  // named before the build returns
}

TEST(OsThread, StartedThreadsRunTheirBodyDetached) {
  std::atomic<bool> ran{false};
  ASSERT_TRUE(start_os_thread("qg-plain", 256 * 1024, [&] { ran.store(true); }));
  EXPECT_TRUE(eventually([&] { return ran.load(); }));
  EXPECT_GE(logical_processor_count(), 1u);
}

}  // namespace
}  // namespace quellgate::executor
