#include "redis_store/sentinel_resolver.hpp"

#include <charconv>

namespace quellgate::redis_store {

namespace {

using std::chrono::steady_clock;

// A sentinel is reached as a plain server: the sentinels' credentials and
// the URL's TLS, no database.
RedisAddress sentinel_address(const RedisAddress& address, const Endpoint& endpoint) {
  RedisAddress sentinel;
  sentinel.host = endpoint.host;
  sentinel.port = endpoint.port;
  sentinel.user = address.sentinel->user;
  sentinel.password = address.sentinel->password;
  sentinel.tls = address.tls;
  return sentinel;
}

// "the sentinel at <host:port>: <cause>", from a failure that names it as
// a server.
std::string about(const RedisAddress& sentinel, std::string_view message) {
  const std::string as_server = "Redis at " + sentinel.describe() + ": ";
  if (message.starts_with(as_server)) message.remove_prefix(as_server.size());
  return "the sentinel at " + sentinel.describe() + ": " + std::string(message);
}

struct Answer {
  std::optional<Endpoint> master;
  std::string cause;  // when there is none
  // `refused` when the sentinel answered without a master.
  StoreErrorKind kind = StoreErrorKind::refused;
};

Answer ask(const RedisAddress& address, const Endpoint& endpoint, Deadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady_clock::now());
  const RedisAddress sentinel = sentinel_address(address, endpoint);
  if (left <= std::chrono::milliseconds(0)) return {std::nullopt, about(sentinel, "not asked: no time was left"), StoreErrorKind::storage};
  auto connection = Connection::open(sentinel, left);
  if (!connection) return {std::nullopt, about(sentinel, connection.error().message), connection.error().kind};
  const Command command{std::nullopt, {"SENTINEL", "get-master-addr-by-name", address.sentinel->service}};
  auto reply = (*connection)->run_one(command, deadline);
  if (!reply) return {std::nullopt, about(sentinel, reply.error().message), reply.error().kind};
  if (reply->type == Reply::Type::nil)
    return {std::nullopt, about(sentinel, "it knows no master named '" + address.sentinel->service + "'")};
  std::uint16_t port = 0;
  if (reply->type == Reply::Type::array && reply->elements.size() == 2) {
    const std::string& text = reply->elements[1].text;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (error == std::errc{} && end == text.data() + text.size() && port != 0 && !reply->elements[0].text.empty())
      return {Endpoint{reply->elements[0].text, port}, {}};
  }
  return {std::nullopt, about(sentinel, "an unexpected reply to SENTINEL get-master-addr-by-name")};
}

}  // namespace

std::expected<RedisAddress, StoreError> resolve_master(const RedisAddress& address, Deadline deadline) {
  std::string causes;
  StoreErrorKind kind = StoreErrorKind::refused;
  for (const auto& endpoint : address.sentinel->sentinels) {
    Answer answer = ask(address, endpoint, deadline);
    if (answer.master) {
      RedisAddress master = address;
      master.host = std::move(answer.master->host);
      master.port = answer.master->port;
      return master;
    }
    causes += (causes.empty() ? "" : "; ") + answer.cause;
    // An interrupted wait ends the call; the others are not asked.
    if (answer.kind == StoreErrorKind::interrupted) return std::unexpected(storage_error(address, causes, answer.kind));
    if (answer.kind != StoreErrorKind::refused) kind = StoreErrorKind::storage;
  }
  return std::unexpected(storage_error(address, "no sentinel named the master (" + causes + ")", kind));
}

}  // namespace quellgate::redis_store
