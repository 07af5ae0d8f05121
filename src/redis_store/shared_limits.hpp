#pragma once
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "redis_store/store_error.hpp"

namespace quellgate::redis_store {

// One epoch-aligned window of a shared limiter.
struct WindowLimit {
  std::string_view name;       // "second", "minute", "hour" or "day"; a static literal
  std::uint64_t limit = 1;     // at least 1
  std::uint64_t length = 1;    // whole seconds, at least 1
};

// What every process that shares a name must agree on.
struct SharedLimits {
  std::vector<WindowLimit> windows;  // 1 to 4, in period order
  std::optional<std::uint64_t> max_burst;
};

// The configuration as stored beside the counts and quoted in a mismatch:
// "second=10/1s, minute=500/60s, max_burst=2".
std::string describe(const SharedLimits& limits);

// Names are [A-Za-z0-9._-]{1,200}; a refusal says what is allowed.
std::expected<void, StoreError> check_shared_name(std::string_view name);

// Every key of a name carries the hash tag {name}, so a Redis Cluster keeps
// a limiter on one node and its script may touch all of them.
std::string key_prefix(std::string_view name);  // "quellgate:{name}:"

// The counts of one key of a name carry a hash tag of their own,
// {name:escaped key}, so that each key's decision touches one slot and the
// keys of a limiter spread over a Cluster's nodes. A name holds no ':', so a
// keyed tag never equals a name's; the key is escaped injectively (bytes other
// than A-Z a-z 0-9 . _ - become %XX), so no key's tag equals another's and
// none holds the '}' that would end the tag early.
std::string key_prefix(std::string_view name, std::string_view key);  // "quellgate:{name:key}:"

// A SCAN pattern for every key of the name, keyed or not, and of no other name.
std::string name_pattern(std::string_view name);

}  // namespace quellgate::redis_store
