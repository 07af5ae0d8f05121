#pragma once
#include <cstddef>
#include <expected>
#include <memory>
#include <string>

#include "redis_store/redis_url.hpp"
#include "redis_store/store_error.hpp"

// OpenSSL's own names for its two objects, so that this header does not
// bring OpenSSL's into every file that holds a connection.
struct ssl_st;
struct ssl_ctx_st;

namespace quellgate::redis_store {

// False in a build without OpenSSL, where rediss:// is refused.
bool tls_built_in() noexcept;

// One TLS session over a connected non-blocking socket, which it does not
// own. No call ever waits: each says what the socket must become ready for
// before it is tried again, and the connection does the waiting against its
// deadline, as it does for plain TCP.
class TlsTransport {
 public:
  // `closed`: the connection ended (an end of file, a reset), as an outage
  // ends one; `failed`: TLS refused it (a certificate, an alert, a protocol).
  enum class Status { done, want_read, want_write, closed, failed };
  struct Step {
    Status status;
    std::size_t bytes = 0;
  };

  // Sets up the session for `address` (its certificates, its host name to
  // verify); the handshake is still to do. Unreadable certificate or key
  // files are a `refused` error: waiting does not mend them.
  static std::expected<std::unique_ptr<TlsTransport>, StoreError> create(const RedisAddress& address, int fd);
  ~TlsTransport();
  TlsTransport(const TlsTransport&) = delete;
  TlsTransport& operator=(const TlsTransport&) = delete;

  Status handshake();
  Step write(const char* data, std::size_t size);
  Step read(char* data, std::size_t size);
  // Whether bytes that came are still to be read, decrypted or not: the
  // socket no longer shows them.
  bool holds_input() const noexcept;
  // Why the last step failed or closed: OpenSSL's reason, or its verify
  // result as "certificate verify failed: ...".
  const std::string& failure() const noexcept { return failure_; }

 private:
  TlsTransport(std::shared_ptr<ssl_ctx_st> context, ssl_st* session)
      : context_(std::move(context)), session_(session) {}
  Step outcome(int result);
  Step closed(std::string cause);
  Step failed(std::string cause);
  void explain(std::string cause);

  std::shared_ptr<ssl_ctx_st> context_;  // shared by the connections with the same options
  ssl_st* session_;
  std::string failure_;
  // Set when the server asked for a client certificate that the URL does not
  // give: over TLS 1.3 it says so only after the handshake, with a close.
  bool lacks_certificate_ = false;
};

}  // namespace quellgate::redis_store
