#include "redis_store/missing_support.hpp"

namespace quellgate::redis_store {

std::string_view no_redis_reason() noexcept {
  return "this build of quellgate has no Redis support: install hiredis's development files "
         "(Debian and Ubuntu: apt-get install libhiredis-dev) and build quellgate again from source";
}

std::string_view no_tls_reason() noexcept {
  return "this build of quellgate has no TLS: install OpenSSL's development files "
         "(Debian and Ubuntu: apt-get install libssl-dev) and build quellgate again from source";
}

}  // namespace quellgate::redis_store
