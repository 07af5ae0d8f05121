#include "executor/oneshot.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "test_support.hpp"

namespace quellgate::executor {
namespace {

using namespace testing;

Task<std::optional<std::string>> receive(OneShotReceiver<std::string> receiver, std::atomic<bool>& waiting) {
  waiting.store(true);
  co_return co_await receiver;
}

TEST(OneShot, ASendFromAnotherThreadWakesTheWaitingJob) {
  BackgroundExecutor executor({.worker_threads = 2});
  auto [sender, receiver] = make_oneshot<std::string>();
  std::atomic<bool> waiting{false};
  auto handle = executor.spawn(receive(std::move(receiver), waiting));
  ASSERT_TRUE(eventually([&] { return waiting.load(); }));
  std::thread([&] { EXPECT_TRUE(sender.send("hello")); }).join();
  const auto outcome = outcome_of(executor, std::move(handle));
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->value(), "hello");
  EXPECT_FALSE(sender);
  EXPECT_THROW(sender.send("again"), std::logic_error);
}

TEST(OneShot, AValueSentBeforeTheAwaitIsReceivedAtOnce) {
  BackgroundExecutor executor({.worker_threads = 1});
  auto [sender, receiver] = make_oneshot<std::string>();
  EXPECT_TRUE(sender.send("early"));
  std::atomic<bool> waiting{false};
  const auto outcome = run_to_end(executor, receive(std::move(receiver), waiting));
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->value(), "early");
}

TEST(OneShot, DroppingTheSenderUnsentYieldsNothing) {
  BackgroundExecutor executor({.worker_threads = 2});
  auto channel = make_oneshot<std::string>();
  std::atomic<bool> waiting{false};
  auto handle = executor.spawn(receive(std::move(channel.receiver), waiting));
  ASSERT_TRUE(eventually([&] { return waiting.load(); }));
  std::thread([sender = std::move(channel.sender)]() mutable { auto dropped = std::move(sender); }).join();
  const auto outcome = outcome_of(executor, std::move(handle));
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->value(), std::nullopt);
}

TEST(OneShot, SendingToADroppedReceiverReportsIt) {
  auto channel = make_oneshot<int>();
  { auto dropped = std::move(channel.receiver); }
  EXPECT_FALSE(channel.sender.send(3));
}

}  // namespace
}  // namespace quellgate::executor
