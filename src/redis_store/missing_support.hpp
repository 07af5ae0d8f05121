#pragma once
#include <string_view>

namespace quellgate::redis_store {

// Why a build lacks the Redis store or its TLS, and what gets a build with
// them: the answer differs by OS.
std::string_view no_redis_reason() noexcept;
std::string_view no_tls_reason() noexcept;

}  // namespace quellgate::redis_store
