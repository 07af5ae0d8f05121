#include "redis_store/missing_support.hpp"

namespace quellgate::redis_store {

namespace {

constexpr std::string_view kNoRedisOnWindows =
    "quellgate has no Redis support on Windows (its Redis connection is written for POSIX sockets): "
    "storage=\"redis://...\" needs quellgate on Linux";

}  // namespace

std::string_view no_redis_reason() noexcept { return kNoRedisOnWindows; }

std::string_view no_tls_reason() noexcept { return kNoRedisOnWindows; }

}  // namespace quellgate::redis_store
