#pragma once
#include <expected>
#include <string_view>

#include "redis_store/redis_store.hpp"
#include "redis_store/redis_url.hpp"

namespace quellgate::redis_store {

// Everything open_redis_store checks before it needs a server: the URL, the
// name, the limits and the options. Shared by the builds with and without
// Redis support, so both refuse the same mistakes the same way.
std::expected<RedisAddress, StoreError> checked_arguments(std::string_view url, std::string_view name,
                                                          const SharedLimits* limits, const StoreOptions& options);

}  // namespace quellgate::redis_store
