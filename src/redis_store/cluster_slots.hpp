#pragma once
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "redis_store/redis_url.hpp"
#include "redis_store/reply.hpp"

namespace quellgate::redis_store {

inline constexpr std::size_t kClusterSlots = 16384;

// The slot a Cluster keeps a key in, as the server computes it: CRC16
// (XMODEM) of the key's hash tag, which is what lies between its first '{'
// and the next '}' when that is not empty, or else of the whole key.
std::uint16_t key_slot(std::string_view key);

// A range of slots and the master serving them.
struct SlotRange {
  std::uint16_t first = 0;
  std::uint16_t last = 0;
  Endpoint master;
  bool operator==(const SlotRange&) const = default;
};

// Reads a CLUSTER SLOTS reply. A master listed without a host ("" or "?":
// the server does not know the name it is reached by) is on `asked_host`,
// the node that answered. An error says what is wrong with the reply.
std::expected<std::vector<SlotRange>, std::string> parse_cluster_slots(const Reply& reply,
                                                                       std::string_view asked_host);

// What a Cluster's error reply asks of the client.
struct ClusterReply {
  enum class Kind { other, moved, ask, try_again, down };
  Kind kind = Kind::other;
  std::uint16_t slot = 0;  // moved and ask
  Endpoint node{};         // moved and ask: where the slot is
};

// Found in a storage error's message, whose server words come after "the
// server replied: "; a node named without a host is on `replying_host`.
ClusterReply cluster_reply_in(std::string_view message, std::string_view replying_host);

}  // namespace quellgate::redis_store
