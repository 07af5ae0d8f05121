// Built instead of tls_transport.cpp when OpenSSL was not found. rediss://
// URLs are refused when parsed, so no connection asks for a session; should
// one, it is told there is none, and the rest is never reached.
#include "redis_store/tls_transport.hpp"

namespace quellgate::redis_store {

bool tls_built_in() noexcept { return false; }

std::expected<std::unique_ptr<TlsTransport>, StoreError> TlsTransport::create(const RedisAddress&, int) {
  return std::unexpected(StoreError{StoreErrorKind::unavailable, "this build of quellgate has no TLS"});
}

TlsTransport::~TlsTransport() = default;
TlsTransport::Status TlsTransport::handshake() { return Status::failed; }
TlsTransport::Step TlsTransport::write(const char*, std::size_t) { return {Status::failed}; }
TlsTransport::Step TlsTransport::read(char*, std::size_t) { return {Status::failed}; }
bool TlsTransport::holds_input() const noexcept { return false; }

}  // namespace quellgate::redis_store
