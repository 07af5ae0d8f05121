#include "redis_store/cluster_slots.hpp"

#include <array>
#include <charconv>

namespace quellgate::redis_store {

namespace {

// CRC16-CCITT as XMODEM computes it (polynomial 0x1021, start 0), the
// checksum Redis Cluster hashes keys with, one table step per byte.
constexpr std::array<std::uint16_t, 256> crc16_table() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned byte = 0; byte < 256; ++byte) {
    unsigned crc = byte << 8;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
    table[byte] = static_cast<std::uint16_t>(crc);
  }
  return table;
}

constexpr auto kCrc16 = crc16_table();

std::uint16_t crc16(std::string_view bytes) {
  std::uint16_t crc = 0;
  for (const char c : bytes)
    crc = static_cast<std::uint16_t>((crc << 8) ^ kCrc16[((crc >> 8) ^ static_cast<unsigned char>(c)) & 0xff]);
  return crc;
}

template <class Number>
bool read_number(std::string_view text, Number& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && error == std::errc{} && end == text.data() + text.size();
}

bool is_integer(const Reply& reply, long long lowest, long long highest) {
  return reply.type == Reply::Type::integer && reply.integer >= lowest && reply.integer <= highest;
}

// "host:port", the host maybe empty; the port is after the last ':', as an
// IPv6 host keeps its colons.
bool read_node(std::string_view text, std::string_view replying_host, Endpoint& node) {
  const auto colon = text.rfind(':');
  if (colon == std::string_view::npos || !read_number(text.substr(colon + 1), node.port) || node.port == 0)
    return false;
  node.host = colon == 0 ? std::string(replying_host) : std::string(text.substr(0, colon));
  return true;
}

}  // namespace

std::uint16_t key_slot(std::string_view key) {
  if (const auto open = key.find('{'); open != std::string_view::npos) {
    const auto close = key.find('}', open + 1);
    if (close != std::string_view::npos && close > open + 1) key = key.substr(open + 1, close - open - 1);
  }
  return static_cast<std::uint16_t>(crc16(key) % kClusterSlots);
}

std::expected<std::vector<SlotRange>, std::string> parse_cluster_slots(const Reply& reply,
                                                                       std::string_view asked_host) {
  if (reply.type != Reply::Type::array) return std::unexpected("CLUSTER SLOTS did not reply with a list");
  std::vector<SlotRange> ranges;
  for (const Reply& entry : reply.elements) {
    const auto& parts = entry.elements;
    constexpr long long last_slot = kClusterSlots - 1;
    if (entry.type != Reply::Type::array || parts.size() < 3 || !is_integer(parts[0], 0, last_slot) ||
        !is_integer(parts[1], parts[0].integer, last_slot) || parts[2].type != Reply::Type::array ||
        parts[2].elements.size() < 2 || parts[2].elements[0].type != Reply::Type::text ||
        !is_integer(parts[2].elements[1], 1, 65535))
      return std::unexpected("CLUSTER SLOTS gave a range that is not [first, last, [host, port, ...], ...]");
    const std::string& host = parts[2].elements[0].text;
    ranges.push_back(SlotRange{static_cast<std::uint16_t>(parts[0].integer),
                               static_cast<std::uint16_t>(parts[1].integer),
                               Endpoint{host.empty() || host == "?" ? std::string(asked_host) : host,
                                        static_cast<std::uint16_t>(parts[2].elements[1].integer)}});
  }
  return ranges;
}

ClusterReply cluster_reply_in(std::string_view message, std::string_view replying_host) {
  constexpr std::string_view kServerWords = "the server replied: ";
  const auto at = message.find(kServerWords);
  if (at == std::string_view::npos) return {};
  const std::string_view said = message.substr(at + kServerWords.size());
  if (said.starts_with("TRYAGAIN")) return {ClusterReply::Kind::try_again};
  if (said.starts_with("CLUSTERDOWN")) return {ClusterReply::Kind::down};
  const bool moved = said.starts_with("MOVED ");
  if (!moved && !said.starts_with("ASK ")) return {};
  // "MOVED <slot> <host>:<port>", and ASK alike.
  const std::string_view rest = said.substr(moved ? 6 : 4);
  const auto space = rest.find(' ');
  ClusterReply reply{moved ? ClusterReply::Kind::moved : ClusterReply::Kind::ask};
  if (space == std::string_view::npos || !read_number(rest.substr(0, space), reply.slot) ||
      reply.slot >= kClusterSlots || !read_node(rest.substr(space + 1), replying_host, reply.node))
    return {};
  return reply;
}

}  // namespace quellgate::redis_store
