#ifdef QUELLGATE_HAVE_REDIS
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>

#include "redis_server.hpp"

namespace quellgate::redis_store::testing {
namespace {

// Windows that roll over only in 2033: no test runs across a rollover.
constexpr std::uint64_t kFar = 1'000'000'000;

class RedisStoreTest : public ::testing::Test {
 protected:
  std::unique_ptr<RedisStore> open(SharedLimits limits, StoreOptions options = {}, const char* name = "api") {
    auto store = open_redis_store(server.url(), name, limits, options);
    if (!store) return ADD_FAILURE() << store.error().message, nullptr;
    return std::move(*store);
  }
  long long server_ms() {
    auto time = server.command({"TIME"});
    return std::stoll(time.elements[0].text) * 1000 + std::stoll(time.elements[1].text) / 1000;
  }
  std::string window_count(std::uint64_t length, const std::string& prefix = "quellgate:{api}:") {
    return server.command({"HGET", prefix + "window:wide:" + std::to_string(length), "n"}).text;
  }
  RedisServer server;
};

Decision decided(RedisStore& store) {
  auto decision = store.decide();
  EXPECT_TRUE(decision) << decision.error().message;
  return decision ? *decision : Decision{Refused{}};
}

const Refused& refusal(const Decision& decision) {
  static const Refused none{};
  EXPECT_TRUE(std::holds_alternative<Refused>(decision));
  return std::holds_alternative<Refused>(decision) ? std::get<Refused>(decision) : none;
}

// Waits for an asynchronous outcome; the patience only guards against a hang.
template <class Outcome>
struct Awaited {
  void operator()(Outcome outcome) {
    const std::lock_guard lock(mutex);
    outcomes.push_back(std::move(outcome));
    arrived.notify_all();
  }
  std::vector<Outcome> wait_for(std::size_t count) {
    std::unique_lock lock(mutex);
    EXPECT_TRUE(arrived.wait_for(lock, 20s, [&] { return outcomes.size() >= count; }));
    return outcomes;
  }
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<Outcome> outcomes;
};

TEST_F(RedisStoreTest, AdmitsInEveryWindowOrNoneAndARefusalWaitsForTheRollover) {
  auto store = open({{{"wide", 3, kFar}, {"narrow", 1, 2 * kFar}}, 5});
  auto first = decided(*store);
  ASSERT_TRUE(std::holds_alternative<Admitted>(first));
  EXPECT_EQ(std::get<Admitted>(first).window_indexes, (std::vector<std::uint64_t>{1, 0}));
  const auto refused = refusal(decided(*store));
  EXPECT_EQ(refused.reason, Refusal::window_full);
  EXPECT_EQ(refused.window_indexes, (std::vector<std::uint64_t>{1, 0}));
  EXPECT_NEAR(static_cast<double>(refused.retry_after.count()),
              static_cast<double>(2 * kFar * 1000 - server_ms()), 2000);
  EXPECT_EQ(window_count(kFar), "1");
  EXPECT_EQ(server.command({"ZCARD", "quellgate:{api}:leases"}).integer, 1);
}

TEST_F(RedisStoreTest, AReportReadsTheCountsAndLeasesAndWritesNothing) {
  auto store = open({{{"wide", 3, kFar}, {"narrow", 1, 2 * kFar}}, 5});
  decided(*store);
  const auto keys = server.command({"KEYS", "*"}).elements.size();
  auto report = store->report();
  ASSERT_TRUE(report) << report.error().message;
  EXPECT_EQ(report->leases_live, 1u);
  ASSERT_EQ(report->windows.size(), 2u);
  EXPECT_EQ(report->windows[1].count, 1u);
  EXPECT_NEAR(static_cast<double>(report->windows[1].until_rollover.count()),
              static_cast<double>(2 * kFar * 1000 - server_ms()), 2000);
  EXPECT_EQ(window_count(kFar), "1");
  EXPECT_EQ(server.command({"KEYS", "*"}).elements.size(), keys);
}

TEST_F(RedisStoreTest, ABurstRefusalLeavesNoTraceAndADeadHoldersLeaseIsReclaimed) {
  SharedLimits limits{{{"wide", 10, kFar}}, 1};
  auto holder = open(limits), other = open(limits);
  auto held = decided(*holder);
  ASSERT_TRUE(std::holds_alternative<Admitted>(held));
  const auto refused = refusal(decided(*other));
  EXPECT_EQ(refused.reason, Refusal::burst_full);
  EXPECT_NEAR(static_cast<double>(refused.retry_after.count()), 30000, 1000);
  EXPECT_EQ(window_count(kFar), "1");
  // The holder died: its lease ran out unrenewed.
  server.command({"ZADD", "quellgate:{api}:leases", "XX", "1", std::get<Admitted>(held).lease->member});
  EXPECT_TRUE(std::holds_alternative<Admitted>(decided(*other)));
  EXPECT_EQ(server.command({"ZCARD", "quellgate:{api}:leases"}).integer, 1);
}

TEST_F(RedisStoreTest, HeldLeasesAreRenewedUntilReleased) {
  SharedLimits limits{{{"wide", 10, kFar}}, 1};
  auto holder = open(limits, {1000ms, 150ms}), other = open(limits, {1000ms, 150ms});
  // The name's lease and a key's, in sets of their own, renewed by one thread.
  std::unique_ptr<RedisStore> holders[] = {std::move(holder), nullptr}, others[] = {std::move(other), nullptr};
  holders[1] = holders[0]->for_key("k"), others[1] = others[0]->for_key("k");
  std::vector<Decision> held;
  for (auto& store : holders) held.push_back(decided(*store));
  ASSERT_TRUE(std::holds_alternative<Admitted>(held[0]) && std::holds_alternative<Admitted>(held[1]));
  std::this_thread::sleep_for(450ms);  // three lease times
  for (int i : {0, 1}) {
    EXPECT_EQ(refusal(decided(*others[i])).reason, Refusal::burst_full);
    ASSERT_TRUE(holders[i]->release(*std::get<Admitted>(held[i]).lease));
    EXPECT_TRUE(std::holds_alternative<Admitted>(decided(*others[i])));
  }
  EXPECT_EQ(holders[0]->leases_held(), 0u);
}

TEST_F(RedisStoreTest, AnotherConfigurationUnderTheNameIsRefusedNamingBoth) {
  auto first = open({{{"second", 10, 1}}, std::nullopt});
  decided(*first);
  auto second = open({{{"second", 10, 1}, {"minute", 500, 60}}, 2});
  for (auto outcome : {second->decide().error(), second->verify().error()}) {
    EXPECT_EQ(outcome.kind, StoreErrorKind::config);
    EXPECT_NE(outcome.message.find("exists with second=10/1s, which differs"), std::string::npos) << outcome.message;
    EXPECT_NE(outcome.message.find("second=10/1s, minute=500/60s, max_burst=2"), std::string::npos);
  }
}

TEST_F(RedisStoreTest, AFlushedScriptIsLoadedAgain) {
  auto store = open({{{"wide", 10, kFar}}, std::nullopt});
  decided(*store);
  server.command({"SCRIPT", "FLUSH"});
  EXPECT_TRUE(std::holds_alternative<Admitted>(decided(*store)));
  Awaited<DecisionOutcome> async;
  store->decide_async(std::ref(async));
  ASSERT_EQ(async.wait_for(1).size(), 1u);
  server.command({"SCRIPT", "FLUSH"});
  store->decide_async(std::ref(async));
  for (auto& outcome : async.wait_for(2)) EXPECT_TRUE(outcome) << outcome.error().message;
  EXPECT_EQ(window_count(kFar), "4");
}

TEST_F(RedisStoreTest, ManyConcurrentPipelinedRequestsAllCompleteExactly) {
  auto store = open({{{"wide", 150, kFar}}, std::nullopt});
  Awaited<DecisionOutcome> async;
  std::vector<std::jthread> callers;
  for (int t = 0; t < 4; ++t)
    callers.emplace_back([&] {
      for (int i = 0; i < 50; ++i) store->decide_async(std::ref(async));
    });
  callers.clear();
  std::size_t admitted = 0;
  for (auto& outcome : async.wait_for(200)) {
    ASSERT_TRUE(outcome) << outcome.error().message;
    admitted += std::holds_alternative<Admitted>(*outcome);
  }
  EXPECT_EQ(admitted, 150u);
}

// Fails within the timeout with the address in the message, blocking and pipelined.
void expect_storage_error_in_time(RedisStore& store, std::chrono::milliseconds timeout) {
  const auto started = std::chrono::steady_clock::now();
  auto outcome = store.decide();
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().kind, StoreErrorKind::storage);
  EXPECT_NE(outcome.error().message.find("Redis at 127.0.0.1:"), std::string::npos) << outcome.error().message;
  Awaited<DecisionOutcome> async;
  store.decide_async(std::ref(async));
  auto outcomes = async.wait_for(1);
  EXPECT_FALSE(outcomes.at(0));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2 * timeout + 200ms);
}

TEST_F(RedisStoreTest, AKilledServerGivesStorageErrorsAndARestartedOneServesAgain) {
  auto store = open({{{"wide", 10, kFar}}, std::nullopt}, {300ms, 30s});
  decided(*store);
  server.kill_now();
  expect_storage_error_in_time(*store, 300ms);
  server.start();
  EXPECT_TRUE(std::holds_alternative<Admitted>(decided(*store)));
}

TEST_F(RedisStoreTest, AStoppedServerGivesTimeoutsNotHangs) {
  auto store = open({{{"wide", 10, kFar}}, std::nullopt}, {200ms, 30s});
  decided(*store);
  server.signal(SIGSTOP);
  expect_storage_error_in_time(*store, 200ms);
  server.signal(SIGCONT);
}

struct ServerRefusal {
  std::vector<std::string> cause, cure;
  const char* says;
};

void PrintTo(const ServerRefusal& row, std::ostream* out) { *out << row.says; }

class ServerRefusals : public RedisStoreTest, public ::testing::WithParamInterface<ServerRefusal> {};

TEST_P(ServerRefusals, AreStorageErrorsAndPassWithTheirCause) {
  auto store = open({{{"wide", 10, kFar}}, std::nullopt});
  server.command(GetParam().cause);
  auto outcome = store->decide();
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().kind, StoreErrorKind::refused);
  EXPECT_NE(outcome.error().message.find(GetParam().says), std::string::npos) << outcome.error().message;
  EXPECT_NE(outcome.error().message.find("Redis at 127.0.0.1:"), std::string::npos);
  server.command(GetParam().cure);
  EXPECT_TRUE(std::holds_alternative<Admitted>(decided(*store)));
}

// A replica after a failover, and a server out of memory.
INSTANTIATE_TEST_SUITE_P(Table, ServerRefusals,
                         ::testing::Values(ServerRefusal{{"REPLICAOF", "127.0.0.1", "1"}, {"REPLICAOF", "NO", "ONE"},
                                                         "READONLY"},
                                           ServerRefusal{{"CONFIG", "SET", "maxmemory", "1"},
                                                         {"CONFIG", "SET", "maxmemory", "0"}, "OOM"}));

long long connections_received(const RedisServer& server) {
  const auto info = server.command({"INFO", "stats"}).text;
  const auto at = info.find("total_connections_received:");
  return at == std::string::npos ? -1 : std::stoll(info.substr(at + 27));
}

TEST_F(RedisStoreTest, AForkedChildUsesAConnectionAndLeasesOfItsOwn) {
  auto store = open({{{"wide", 10, kFar}}, 2});
  decided(*store);  // the parent now holds a lease and an idle connection
  const auto before = connections_received(server);
  const pid_t child = fork();
  if (child == 0) {
    const bool inherited_nothing = store->leases_held() == 0;
    auto outcome = store->decide();
    _exit(inherited_nothing && outcome && std::holds_alternative<Admitted>(*outcome) ? 0 : 1);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0);
  // One for the child's own connection, one for this look.
  EXPECT_EQ(connections_received(server), before + 2);
  EXPECT_EQ(store->leases_held(), 1u);
  EXPECT_TRUE(std::holds_alternative<Refused>(decided(*store)));
}

TEST_F(RedisStoreTest, SocketAndPasswordUrlsReachTheDatabaseTheyName) {
  SharedLimits limits{{{"wide", 1, kFar}}, std::nullopt};
  auto outcome_at = [&](const std::string& url) -> std::string {
    auto store = open_redis_store(url, "api", limits, StoreOptions{});
    auto decision = store ? (*store)->decide() : std::unexpected(store.error());
    if (!decision) return decision.error().message;
    return std::holds_alternative<Admitted>(*decision) ? "admitted" : "refused";
  };
  EXPECT_EQ(outcome_at(server.socket_url() + "?db=1"), "admitted");
  EXPECT_EQ(outcome_at(server.url() + "/1"), "refused");  // the same window, full
  server.command({"CONFIG", "SET", "requirepass", "pw"});
  EXPECT_EQ(outcome_at(server.socket_url() + "?password=pw"), "admitted");
  EXPECT_NE(outcome_at(server.url()).find("wants a password"), std::string::npos) << outcome_at(server.url());
  EXPECT_EQ(outcome_at("redis://:pw@" + server.url().substr(8) + "/2"), "admitted");
}


TEST_F(RedisStoreTest, ACostCountsInEveryWindowOrNoneAndTheAdmissionCarriesTheServersTime) {
  auto store = open({{{"wide", 5, kFar}, {"narrow", 3, 2 * kFar}}, std::nullopt});
  auto first = store->decide(2);
  ASSERT_TRUE(first && std::holds_alternative<Admitted>(*first));
  EXPECT_NEAR(static_cast<double>(std::get<Admitted>(*first).decided_at.count()) / 1000, static_cast<double>(server_ms()), 2000);
  EXPECT_EQ(refusal(*store->decide(2)).reason, Refusal::window_full);  // narrow: 2 + 2 > 3
  EXPECT_EQ(window_count(kFar), "2");
  EXPECT_TRUE(std::holds_alternative<Admitted>(*store->decide(1)));
  EXPECT_EQ(window_count(kFar), "3");
}

struct Settlement {
  std::int64_t delta;
  long long stored_index_shift;  // the window's stored index against the admission's
  std::uint64_t length;
  const char* count_after;
};

class Settlements : public RedisStoreTest, public ::testing::WithParamInterface<Settlement> {};

// Admitted with cost 2, then settled. A window whose stored index moved on
// was counted again since; one of length 1 admitted 5 s ago has rolled over.
TEST_P(Settlements, ApplyToTheWindowsStillCurrentAndKeepTheirExpiry) {
  const Settlement row = GetParam();
  auto store = open({{{"wide", 5, row.length}}, std::nullopt});
  auto admitted = store->decide(2);
  ASSERT_TRUE(admitted && std::holds_alternative<Admitted>(*admitted));
  auto decided_at = std::get<Admitted>(*admitted).decided_at;
  const std::string key = "quellgate:{api}:window:wide:" + std::to_string(row.length);
  if (row.length == 1) {  // written whole, as the window may have expired by now
    decided_at -= 5s;
    server.command({"HSET", key, "i", std::to_string(decided_at.count() / 1'000'000), "n", "2"});
    server.command({"PEXPIRE", key, "60000"});
  }
  const auto index = std::stoll(server.command({"HGET", key, "i"}).text);
  server.command({"HSET", key, "i", std::to_string(index + row.stored_index_shift)});
  const auto ttl = server.command({"PTTL", key}).integer;
  Awaited<DoneOutcome> settled;
  store->settle_async(decided_at, row.delta, std::ref(settled));
  ASSERT_TRUE(settled.wait_for(1).at(0));
  EXPECT_EQ(window_count(row.length), row.count_after);
  EXPECT_NEAR(static_cast<double>(server.command({"PTTL", key}).integer), static_cast<double>(ttl), 2000);
}

INSTANTIATE_TEST_SUITE_P(Table, Settlements,
                         ::testing::Values(Settlement{5, 0, kFar, "7"},     // over the limit, not refused
                                           Settlement{-1, 0, kFar, "1"},    //
                                           Settlement{-9, 0, kFar, "0"},    // never below 0
                                           Settlement{4, 1, kFar, "2"},     // the window moved on
                                           Settlement{-2, 0, 1, "2"}));     // rolled over on the clock

TEST_F(RedisStoreTest, APipelinedSettlementComesBeforeTheNextCallOfTheProcess) {
  auto store = open({{{"wide", 3, kFar}}, std::nullopt});
  auto full = store->decide(3);
  ASSERT_TRUE(full && std::holds_alternative<Admitted>(*full));
  store->settle_async(std::get<Admitted>(*full).decided_at, -3, [](DoneOutcome) {});
  EXPECT_TRUE(std::holds_alternative<Admitted>(decided(*store)));
  EXPECT_EQ(window_count(kFar), "1");
}

// Keys that an escaping, a tag or a separator could mix up with each other,
// with the name's own counts or with another name's.
const std::vector<std::string> kOddKeys = {"a", "A", "%41", "}", "{", ":", " ", "a b", "a:b", "a}:b", "*", "?",
                                           std::string("\0", 1), "\xff\xfe", "caf\xc3\xa9", std::string(256, 'k'),
                                           "window:wide:1000000000", "}:window:wide:1000000000"};

// The text between a key name's first '{' and the first '}' after it.
std::string hash_tag(const std::string& key) {
  const auto open = key.find('{');
  return key.substr(open + 1, key.find('}', open) - open - 1);
}

TEST_F(RedisStoreTest, EachKeyCountsAndHoldsLeasesApartUnderAHashTagOfItsOwn) {
  auto store = open({{{"wide", 2, kFar}}, 1});
  EXPECT_TRUE(std::holds_alternative<Admitted>(decided(*store)));
  for (const auto& key : kOddKeys) {
    auto keyed = store->for_key(key);
    ASSERT_TRUE(keyed);
    EXPECT_TRUE(std::holds_alternative<Admitted>(decided(*keyed))) << key;
    EXPECT_EQ(refusal(decided(*store->for_key(key))).reason, Refusal::burst_full) << key;
    EXPECT_EQ(keyed->for_key("nested"), nullptr);
  }
  std::map<std::string, int> keys_per_tag;
  for (const auto& key : server.command({"KEYS", "*"}).elements) ++keys_per_tag[hash_tag(key.text)];
  EXPECT_EQ(keys_per_tag.size(), kOddKeys.size() + 1);
  for (const auto& [tag, keys] : keys_per_tag) EXPECT_EQ(keys, 3) << tag;  // config, leases, window
}

TEST_F(RedisStoreTest, AKeyRefusesAnotherConfigurationOfItsName) {
  open({{{"wide", 10, kFar}}, std::nullopt})->for_key("k")->decide();
  auto outcome = open({{{"wide", 20, kFar}}, std::nullopt})->for_key("k")->decide();
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().kind, StoreErrorKind::config);
}

TEST_F(RedisStoreTest, RemoveDeletesEveryKeyOfTheNameAndItsKeysAndNoOtherNames) {
  for (const char* name : {"api", "ap", "api-2", "api.x"}) {
    auto store = open({{{"wide", 10, kFar}}, 2}, {}, name);
    decided(*store);
    decided(*store->for_key("k"));
  }
  ASSERT_TRUE(remove_redis_name(server.url(), "api", StoreOptions{}));
  EXPECT_EQ(server.command({"DBSIZE"}).integer, 3 * 2 * 3);
  for (const auto& key : server.command({"KEYS", "*"}).elements)
    EXPECT_EQ(key.text.find("{api}"), std::string::npos) << key.text;
  EXPECT_EQ(server.command({"KEYS", "*{api:*"}).elements.size(), 0u);
}

}  // namespace
}  // namespace quellgate::redis_store::testing
#endif
