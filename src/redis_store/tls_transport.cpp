#include "redis_store/tls_transport.hpp"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>

#include "redis_store/fork_guard.hpp"

namespace quellgate::redis_store {

namespace {

// OpenSSL's reason for the last error in this thread's queue, or the
// system's for a file it could not read ("system lib" otherwise).
std::string openssl_reason(const char* otherwise) {
  unsigned long code = 0;
  while (const unsigned long next = ERR_get_error()) {
    if (ERR_SYSTEM_ERROR(next)) return std::strerror(ERR_GET_REASON(next));
    code = next;
  }
  if (code == 0) return otherwise;
  if (const char* reason = ERR_reason_error_string(code)) return reason;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

std::unexpected<StoreError> refused(const RedisAddress& address, const std::string& what) {
  return std::unexpected(
      StoreError{StoreErrorKind::refused, "Redis at " + address.describe() + ": " + what + ": " + openssl_reason("?")});
}

bool is_ip_address(const std::string& host) {
  unsigned char scratch[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), scratch) == 1 || inet_pton(AF_INET6, host.c_str(), scratch) == 1;
}

struct ContextFree {
  void operator()(SSL_CTX* context) const noexcept { SSL_CTX_free(context); }
};
using OwnedContext = std::unique_ptr<SSL_CTX, ContextFree>;

std::expected<OwnedContext, StoreError> client_context(const RedisAddress& address) {
  const TlsOptions& options = *address.tls;
  OwnedContext context(SSL_CTX_new(TLS_client_method()));
  if (!context) return refused(address, "cannot set up TLS");
  SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
  // A server that goes away without a close_notify is a closed connection,
  // as on plain TCP; RESP frames its replies, so nothing is cut short unseen.
  SSL_CTX_set_options(context.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
  // Writes go out of hiredis's output buffer, which the connection trims
  // by what each write took.
  SSL_CTX_set_mode(context.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // A record's header and body in one read() rather than two.
  SSL_CTX_set_read_ahead(context.get(), 1);
  if (options.verify) {
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
    const bool loaded = options.ca_certs.empty()
                            ? SSL_CTX_set_default_verify_paths(context.get()) == 1
                            : SSL_CTX_load_verify_locations(context.get(), options.ca_certs.c_str(), nullptr) == 1;
    if (!loaded)
      return refused(address, options.ca_certs.empty() ? "cannot load the system's CA certificates"
                                                       : "cannot load ssl_ca_certs '" + options.ca_certs + "'");
  } else {
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
  }
  if (options.certfile.empty()) {
    // Noted on the session's transport, for the close that follows.
    SSL_CTX_set_client_cert_cb(context.get(), [](SSL* asked, X509**, EVP_PKEY**) {
      *static_cast<bool*>(SSL_get_app_data(asked)) = true;
      return 0;  // none: the server decides whether to go on without one
    });
  } else {
    const std::string& keyfile = options.keyfile.empty() ? options.certfile : options.keyfile;
    if (SSL_CTX_use_certificate_chain_file(context.get(), options.certfile.c_str()) != 1)
      return refused(address, "cannot load ssl_certfile '" + options.certfile + "'");
    if (SSL_CTX_use_PrivateKey_file(context.get(), keyfile.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(context.get()) != 1)
      return refused(address, "cannot load the key of ssl_certfile from '" + keyfile + "'");
  }
  return context;
}

// Loading the system's CA store takes tens of milliseconds, so connections
// with the same options share one context while any of them lives; one made
// after they have all closed reads the files again (a renewed certificate).
struct Contexts {
  std::mutex mutex;  // guards by_options; never held while a context loads; held across fork() by the guard
  std::map<std::string, std::weak_ptr<SSL_CTX>> by_options;  // by tls_identity()
  ForkGuard fork_guard{mutex};
};

std::expected<std::shared_ptr<SSL_CTX>, StoreError> shared_context(const RedisAddress& address) {
  static auto* all = new Contexts;  // never destroyed: a connection may close after static destruction
  const std::string key = address.tls_identity();
  {
    const std::lock_guard lock(all->mutex);
    if (auto found = all->by_options[key].lock()) return found;
  }
  auto made = client_context(address);
  if (!made) return std::unexpected(made.error());
  std::shared_ptr<SSL_CTX> context(made->release(), SSL_CTX_free);
  const std::lock_guard lock(all->mutex);
  std::erase_if(all->by_options, [](const auto& entry) { return entry.second.expired(); });
  all->by_options[key] = context;
  return context;
}

}  // namespace

bool tls_built_in() noexcept { return true; }

std::expected<std::unique_ptr<TlsTransport>, StoreError> TlsTransport::create(const RedisAddress& address, int fd) {
  ERR_clear_error();
  auto context = shared_context(address);
  if (!context) return std::unexpected(context.error());
  SSL* session = SSL_new(context->get());
  if (!session) return refused(address, "cannot set up TLS");
  std::unique_ptr<TlsTransport> transport(new TlsTransport(std::move(*context), session));
  SSL_set_app_data(session, &transport->lacks_certificate_);
  SSL_set_fd(session, fd);
  SSL_set_connect_state(session);
  const std::string& host = address.host;
  if (is_ip_address(host)) {
    // An address is matched against the certificate's IP entries, and is
    // never sent as a server name.
    if (address.tls->verify && X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(session), host.c_str()) != 1)
      return refused(address, "cannot verify the address");
  } else {
    SSL_set_tlsext_host_name(session, host.c_str());
    X509_VERIFY_PARAM* param = SSL_get0_param(session);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (address.tls->verify && X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size()) != 1)
      return refused(address, "cannot verify the host name");
  }
  return transport;
}

TlsTransport::~TlsTransport() { SSL_free(session_); }

TlsTransport::Status TlsTransport::handshake() {
  ERR_clear_error();
  errno = 0;  // an end of file is a SYSCALL error with no errno
  return outcome(SSL_connect(session_)).status;
}

TlsTransport::Step TlsTransport::write(const char* data, std::size_t size) {
  ERR_clear_error();
  errno = 0;  // an end of file is a SYSCALL error with no errno
  return outcome(SSL_write(session_, data, static_cast<int>(std::min<std::size_t>(size, INT_MAX))));
}

TlsTransport::Step TlsTransport::read(char* data, std::size_t size) {
  ERR_clear_error();
  errno = 0;  // an end of file is a SYSCALL error with no errno
  return outcome(SSL_read(session_, data, static_cast<int>(std::min<std::size_t>(size, INT_MAX))));
}

bool TlsTransport::holds_input() const noexcept { return SSL_has_pending(session_) == 1; }

TlsTransport::Step TlsTransport::outcome(int result) {
  if (result > 0) return {Status::done, static_cast<std::size_t>(result)};
  switch (SSL_get_error(session_, result)) {
    case SSL_ERROR_WANT_READ:
      return {Status::want_read};
    case SSL_ERROR_WANT_WRITE:
      return {Status::want_write};
    case SSL_ERROR_ZERO_RETURN:
      return closed("the server closed the connection");
    case SSL_ERROR_SYSCALL:  // a reset, or an end of file with errno 0
      return closed(errno == 0 ? "the server closed the connection" : std::strerror(errno));
    default:
      break;
  }
  // A rejected certificate shows in the queue only as "certificate verify
  // failed"; the verify result says which check it failed.
  if (const long verified = SSL_get_verify_result(session_); verified != X509_V_OK)
    return failed(std::string("certificate verify failed: ") + X509_verify_cert_error_string(verified));
  return failed(openssl_reason("TLS failed"));
}

// A server that wanted a client certificate closes for want of it: that
// close is a refusal, which waiting does not mend.
TlsTransport::Step TlsTransport::closed(std::string cause) {
  if (lacks_certificate_) return failed(std::move(cause));
  explain(std::move(cause));
  return {Status::closed};
}

TlsTransport::Step TlsTransport::failed(std::string cause) {
  explain(std::move(cause));
  return {Status::failed};
}

void TlsTransport::explain(std::string cause) {
  failure_ = lacks_certificate_ ? "the server asked for a client certificate, which the URL does not give "
                                  "(ssl_certfile=...): " + cause
                                : std::move(cause);
}

}  // namespace quellgate::redis_store
