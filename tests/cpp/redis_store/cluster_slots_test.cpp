#include <gtest/gtest.h>

#include "redis_store/cluster_slots.hpp"
#include "redis_store/redis_url.hpp"

namespace quellgate::redis_store {

void PrintTo(const Endpoint& node, std::ostream* out) { *out << node.host << ":" << node.port; }

namespace {

// Slots as CLUSTER KEYSLOT of Redis 7.0 gives them.
TEST(KeySlot, AsTheServerComputesIt) {
  const std::pair<const char*, int> rows[] = {
      {"123456789", 12739},           // the XMODEM check value, 0x31C3
      {"somekey", 11058},             {"foo{hash_tag}", 2515},
      {"{hash_tag}bar", 2515},        {"foo{}{hash_tag}", 10378},  // an empty tag: the whole key
      {"foo{hash_tag", 9815},         {"{{hash_tag}}", 9907},     // the first '{' to the next '}'
      {"quellgate:{api}:leases", 6541}, {"quellgate:{api}:window:second:1", 6541},
      {"", 0},
  };
  for (const auto& [key, slot] : rows) EXPECT_EQ(key_slot(key), slot) << key;
}

Reply integer(long long value) { return Reply{Reply::Type::integer, value, {}, {}}; }
Reply text(std::string value) { return Reply{Reply::Type::text, 0, std::move(value), {}}; }
Reply array(std::vector<Reply> elements) { return Reply{Reply::Type::array, 0, {}, std::move(elements)}; }
Reply range(long long first, long long last, Reply host, long long port) {
  return array({integer(first), integer(last), array({std::move(host), integer(port), text("id")}),
                array({text("10.0.0.9"), integer(7005), text("replica")})});
}

TEST(ClusterSlots, ReadsMastersAndFillsInAnUnknownHost) {
  const auto ranges = parse_cluster_slots(
      array({range(0, 5460, text("10.0.0.1"), 7000), range(5461, 16383, text(""), 7001),
             range(100, 100, text("?"), 7002)}),
      "seed.local");
  ASSERT_TRUE(ranges) << ranges.error();
  EXPECT_EQ(*ranges, (std::vector<SlotRange>{{0, 5460, {"10.0.0.1", 7000}},
                                             {5461, 16383, {"seed.local", 7001}},
                                             {100, 100, {"seed.local", 7002}}}));
}

TEST(ClusterSlots, RefusesMalformedReplies) {
  const Reply bad[] = {text("OK"),
                       array({range(10, 5, text("h"), 1)}),           // last before first
                       array({range(0, 16384, text("h"), 1)}),        // past the last slot
                       array({range(0, 1, text("h"), 0)}),            // no port
                       array({array({integer(0), integer(1)})})};     // no master
  for (const Reply& reply : bad) EXPECT_FALSE(parse_cluster_slots(reply, "h"));
}

TEST(ClusterReplies, TellRedirectsFromOtherErrors) {
  using Kind = ClusterReply::Kind;
  const std::tuple<const char*, Kind, int, Endpoint> rows[] = {
      {"Redis at h:1: the server replied: MOVED 3999 127.0.0.1:6381", Kind::moved, 3999, {"127.0.0.1", 6381}},
      {"Redis at h:1: the server replied: ASK 12 10.1.1.1:7002", Kind::ask, 12, {"10.1.1.1", 7002}},
      {"Redis at h:1: the server replied: MOVED 7 :7003", Kind::moved, 7, {"h", 7003}},
      {"Redis at h:1: the server replied: MOVED 7 ::1:7003", Kind::moved, 7, {"::1", 7003}},
      {"Redis at h:1: the server replied: TRYAGAIN Multiple keys request during rehashing", Kind::try_again, 0, {}},
      {"Redis at h:1: the server replied: CLUSTERDOWN The cluster is down", Kind::down, 0, {}},
      {"Redis at h:1: the server replied: MOVED 16384 h:1", Kind::other, 0, {}},
      {"Redis at h:1: the server replied: MOVED x h:1", Kind::other, 0, {}},
      {"Redis at h:1: the server replied: ERR MOVED 1 h:1", Kind::other, 0, {}},
      {"Redis at h:1: cannot connect: Connection refused", Kind::other, 0, {}},
  };
  for (const auto& [message, kind, slot, node] : rows) {
    const ClusterReply said = cluster_reply_in(message, "h");
    EXPECT_EQ(said.kind, kind) << message;
    if (kind == Kind::moved || kind == Kind::ask) {
      EXPECT_EQ(said.slot, slot) << message;
      EXPECT_EQ(said.node, node) << message;
    }
  }
}

TEST(ClusterUrls, ListEveryNodeWithOneLogin) {
  const std::tuple<const char*, const char*, std::vector<Endpoint>> rows[] = {
      {"redis+cluster://a:7000", "cluster a:7000", {{"a", 7000}}},
      {"redis+cluster://u:pw@a:7000,b,[::1]:7002/0", "cluster a:7000,b:6379,[::1]:7002",
       {{"a", 7000}, {"b", 6379}, {"::1", 7002}}},
      {"rediss+cluster://:pw@a:1,b:2?ssl_cert_reqs=none", "tls:cluster a:1,b:2", {{"a", 1}, {"b", 2}}},
  };
  for (const auto& [url, described, seeds] : rows) {
    auto address = parse_redis_url(url);
    ASSERT_TRUE(address) << address.error().message;
    EXPECT_EQ(address->describe(), described);
    EXPECT_EQ(address->cluster_seeds, seeds);
    EXPECT_EQ(address->host, seeds.front().host);
  }
  for (const char* bad : {"redis+cluster://:hunter2@a:1,b:2/3", "redis+cluster://a:1,,b:2", "redis+cluster://a:1,b:0",
                          "redis+cluster://a:1?ssl_cert_reqs=none"}) {
    auto address = parse_redis_url(bad);
    ASSERT_FALSE(address) << bad;
    EXPECT_EQ(address.error().kind, StoreErrorKind::config);
    EXPECT_EQ(address.error().message.find("hunter2"), std::string::npos);
  }
}

}  // namespace
}  // namespace quellgate::redis_store
