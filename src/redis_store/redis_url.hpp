#pragma once
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "redis_store/store_error.hpp"

namespace quellgate::redis_store {

// Where a Redis server listens and how to log in, as a storage URL gives it.
struct RedisAddress {
  std::string host;         // empty for a Unix socket
  std::uint16_t port = 6379;
  std::string socket_path;  // set for redis+unix://
  std::uint32_t db = 0;
  std::string user;         // empty: the default user
  std::string password;     // empty: no AUTH

  bool is_unix() const noexcept { return !socket_path.empty(); }
  // For messages: never shows the credentials.
  std::string describe() const;
};

// Parses "redis://[[user]:password@]host[:port][/db]" or
// "redis+unix:///path/to/socket?db=N&password=...". A refusal is a
// StoreErrorKind::config error naming the part that is wrong; the URL it
// quotes has its password masked.
std::expected<RedisAddress, StoreError> parse_redis_url(std::string_view url);

}  // namespace quellgate::redis_store
