#pragma once
#include <expected>

#include "redis_store/connection.hpp"

namespace quellgate::redis_store {

// The master the sentinels name now for a redis+sentinel:// address: the
// address with its host and port filled in. The sentinels are asked in the
// URL's order, each within what is left before the deadline; the first that
// names one wins. None naming it is a `storage` error when some sentinel
// could not be reached (a failover or an outage passes), a `refused` one
// when every sentinel answered without it (a wrong service name, a wrong
// password: waiting does not mend them).
std::expected<RedisAddress, StoreError> resolve_master(const RedisAddress& address, Deadline deadline);

}  // namespace quellgate::redis_store
