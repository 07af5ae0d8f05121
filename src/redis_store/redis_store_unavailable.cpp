// Built instead of redis_store.cpp when hiredis was not found, and on
// Windows.
#include "redis_store/missing_support.hpp"
#include "redis_store/redis_store.hpp"
#include "redis_store/store_checks.hpp"

namespace quellgate::redis_store {

namespace {

std::unexpected<StoreError> no_redis_support() {
  return std::unexpected(StoreError{StoreErrorKind::unavailable, std::string(no_redis_reason())});
}

}  // namespace

std::expected<std::unique_ptr<RedisStore>, StoreError> open_redis_store(std::string_view url, std::string_view name,
                                                                        const SharedLimits& limits,
                                                                        const StoreOptions& options) {
  if (auto checked = checked_arguments(url, name, &limits, options); !checked) return std::unexpected(checked.error());
  return no_redis_support();
}

// Without Redis support no store exists, so no release is ever in flight.
void finish_releases() noexcept {}

DoneOutcome remove_redis_name(std::string_view url, std::string_view name, const StoreOptions& options) {
  if (auto checked = checked_arguments(url, name, nullptr, options); !checked) return std::unexpected(checked.error());
  return no_redis_support();
}

}  // namespace quellgate::redis_store
