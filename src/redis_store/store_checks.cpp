#include "redis_store/store_checks.hpp"

namespace quellgate::redis_store {

namespace {

std::unexpected<StoreError> refused(std::string message) {
  return std::unexpected(StoreError{StoreErrorKind::config, std::move(message)});
}

std::expected<void, StoreError> check_limits(const SharedLimits& limits) {
  if (limits.windows.empty() || limits.windows.size() > 4) return refused("a shared limiter has 1 to 4 windows");
  for (const auto& window : limits.windows)
    if (window.limit == 0 || window.length == 0) return refused("a window's limit and length are at least 1");
  if (limits.max_burst == 0u) return refused("max_burst is at least 1");
  return {};
}

}  // namespace

std::expected<RedisAddress, StoreError> checked_arguments(std::string_view url, std::string_view name,
                                                          const SharedLimits* limits, const StoreOptions& options) {
  auto address = parse_redis_url(url);
  if (!address) return address;
  if (auto ok = check_shared_name(name); !ok) return std::unexpected(ok.error());
  if (limits) {
    if (auto ok = check_limits(*limits); !ok) return std::unexpected(ok.error());
  }
  if (options.timeout < std::chrono::milliseconds(1)) return refused("storage_timeout is at least 0.001 s");
  if (options.lease < std::chrono::milliseconds(3)) return refused("lease is at least 0.003 s");
  return address;
}

}  // namespace quellgate::redis_store
