#pragma once
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "redis_store/store_error.hpp"

namespace quellgate::redis_store {

// How a rediss:// connection checks the server and shows itself.
struct TlsOptions {
  std::string ca_certs;  // empty: the system's CA store
  std::string certfile;  // a client certificate, for servers that ask for one
  std::string keyfile;   // empty: the key is in certfile
  bool verify = true;    // false only when the URL says ssl_cert_reqs=none

  bool operator==(const TlsOptions&) const = default;
};

// One server of several a URL lists: a sentinel, or a Cluster node.
struct Endpoint {
  std::string host;
  std::uint16_t port = 6379;
  bool operator==(const Endpoint&) const = default;
};

// Which sentinels to ask for the master of which service, and how to log in
// to them.
struct SentinelOptions {
  std::vector<Endpoint> sentinels;  // asked in this order
  std::string service;
  std::string user;      // the URL's, unless sentinel_password= gives the sentinels a password of their own
  std::string password;  // empty: no AUTH

  // Tells apart sentinel deployments in memory; never shown.
  std::string identity() const;
};

// Where a Redis server listens and how to log in, as a storage URL gives it.
struct RedisAddress {
  std::string host;         // empty for a Unix socket
  std::uint16_t port = 6379;
  std::string socket_path;  // set for redis+unix://
  std::uint32_t db = 0;
  std::string user;         // empty: the default user
  std::string password;     // empty: no AUTH
  std::optional<TlsOptions> tls;  // set for rediss://, rediss+sentinel:// (the sentinels too) and rediss+cluster://
  // Set for redis+sentinel://: host and port are empty until the sentinels
  // name the master, and the credentials, database and TLS are the master's.
  std::optional<SentinelOptions> sentinel;
  // The nodes a Cluster's slot map is first asked of (redis+cluster://);
  // host and port are the first of them. Empty for one server.
  std::vector<Endpoint> cluster_seeds;

  bool is_unix() const noexcept { return !socket_path.empty(); }
  bool is_cluster() const noexcept { return !cluster_seeds.empty(); }
  // Tells apart addresses that differ only in TLS and its options; empty
  // for plain TCP.
  std::string tls_identity() const;
  // For messages: never shows the credentials.
  std::string describe() const;
};

// Parses "redis://[[user]:password@]host[:port][/db]",
// "rediss://[[user]:password@]host[:port][/db][?ssl_ca_certs=...&ssl_certfile=...
// &ssl_keyfile=...&ssl_cert_reqs=required|none]" or
// "redis+unix:///path/to/socket?db=N&password=...",
// "redis+sentinel://[[user]:password@]host[:port][,host[:port]...]/service[/db][?sentinel_password=...]"
// (rediss+sentinel:// takes the ssl_* parameters as well), or a Cluster's
// "redis+cluster://[[user]:password@]host:port[,host:port...]" (rediss+cluster://
// with the TLS parameters; database 0 only). A refusal is a
// StoreErrorKind::config error naming the part that is wrong (an
// `unavailable` one for rediss:// in a build without TLS); the URL it quotes
// has its password masked.
std::expected<RedisAddress, StoreError> parse_redis_url(std::string_view url);

}  // namespace quellgate::redis_store
