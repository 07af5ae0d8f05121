#include "redis_store/connection.hpp"

// hiredis 0.14's sds.h leaves out extern "C", and hiredis.h includes it
// outside its own, so it comes first, in one.
extern "C" {
#include <hiredis/sds.h>
}
#include <hiredis/hiredis.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "executor/wait_watch.hpp"
#include "redis_store/script_hash.hpp"
#include "redis_store/sentinel_resolver.hpp"

namespace quellgate::redis_store {

namespace {

using std::chrono::steady_clock;

struct ReplyDeleter {
  void operator()(redisReply* reply) const noexcept { freeReplyObject(reply); }
};
using OwnedReply = std::unique_ptr<redisReply, ReplyDeleter>;

std::string_view text_of(const redisReply& reply) { return {reply.str, reply.len}; }

// NOSCRIPT is told apart before conversion, as it is recovered from.
bool is_noscript(const redisReply& reply) {
  return reply.type == REDIS_REPLY_ERROR && text_of(reply).starts_with("NOSCRIPT");
}

// The server became a replica (a failover demoted it): a script's write
// fails with the same words as a command's.
bool is_readonly(const redisReply& reply) {
  return reply.type == REDIS_REPLY_ERROR && text_of(reply).starts_with("READONLY");
}

// An error reply is the server refusing the work, which waiting out an
// outage does not mend, except for these: a server still loading its data,
// busy with a long script, without its master or its replicas for now, or a
// Cluster missing a node or moving a slot is one that cannot be reached yet.
StoreErrorKind kind_of_error_reply(std::string_view text) {
  for (std::string_view passing : {"LOADING", "BUSY", "MASTERDOWN", "TRYAGAIN", "NOREPLICAS", "CLUSTERDOWN"})
    if (text.starts_with(passing)) return StoreErrorKind::storage;
  // Within a script the server's words come after the script's own.
  if (text.find("WRONGTYPE") != std::string_view::npos) return StoreErrorKind::config;
  return StoreErrorKind::refused;
}

ReplyOutcome converted(const redisReply& raw, const RedisAddress& address) {
  Reply reply;
  switch (raw.type) {
    case REDIS_REPLY_ERROR: {
      // Behind sentinels a replica is a master that lost its role, which the
      // next connection, to the new master, mends; named by a plain URL, it
      // is the wrong server.
      const auto kind = is_readonly(raw) && address.sentinel ? StoreErrorKind::storage : kind_of_error_reply(text_of(raw));
      std::string words = "the server replied: " + std::string(text_of(raw));
      // A server with a password cuts off a long unauthenticated command
      // with a protocol error before it can say NOAUTH.
      if (text_of(raw).find("unauthenticated") != std::string_view::npos)
        words = "the server wants a password, which the URL does not give (" + words + ")";
      if (kind == StoreErrorKind::config)
        return std::unexpected(storage_error(address, "a key under this name holds another type of value (" + words +
                                                          "): remove_shared() the name, or choose another", kind));
      return std::unexpected(storage_error(address, words, kind));
    }
    case REDIS_REPLY_INTEGER:
      reply.type = Reply::Type::integer;
      reply.integer = raw.integer;
      break;
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS:
      reply.type = Reply::Type::text;
      reply.text.assign(raw.str, raw.len);
      break;
    case REDIS_REPLY_ARRAY:
      reply.type = Reply::Type::array;
      reply.elements.reserve(raw.elements);
      for (std::size_t i = 0; i < raw.elements; ++i) {
        auto element = converted(*raw.element[i], address);
        if (!element) return element;
        reply.elements.push_back(std::move(*element));
      }
      break;
    default:
      break;  // nil
  }
  return reply;
}

void append(redisContext* context, const Command& command) {
  std::vector<const char*> argv;
  std::vector<std::size_t> lengths;
  argv.reserve(command.args.size() + 2);
  lengths.reserve(command.args.size() + 2);
  if (command.script) {
    const std::string& sha = script_sha(*command.script);
    argv.push_back("EVALSHA");
    lengths.push_back(7);
    argv.push_back(sha.data());
    lengths.push_back(sha.size());
  }
  for (const auto& arg : command.args) {
    argv.push_back(arg.data());
    lengths.push_back(arg.size());
  }
  // Appending only fills the output buffer; it fails only without memory,
  // which the read of its reply then reports.
  redisAppendCommandArgv(context, static_cast<int>(argv.size()), argv.data(), lengths.data());
}

std::string seconds_text(std::chrono::nanoseconds span) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3g s", std::chrono::duration<double>(span).count());
  return text;
}

}  // namespace

StoreError storage_error(const RedisAddress& address, const std::string& cause, StoreErrorKind kind) {
  return StoreError{kind, "Redis at " + address.describe() + ": " + cause};
}

Connection::Connection(redisContext* context, const RedisAddress& address)
    : context_(context), address_(address), owner_(getpid()) {}

// The session goes first, and without a close_notify: in a forked child
// that would write into the parent's session on the shared socket.
Connection::~Connection() {
  tls_.reset();
  redisFree(context_);
}

std::expected<std::unique_ptr<Connection>, StoreError> Connection::open(const RedisAddress& address,
                                                                        std::chrono::milliseconds timeout) {
  const Deadline deadline = steady_clock::now() + timeout;
  if (address.sentinel && address.host.empty()) {
    // Asked anew for every connection, so that one opened after a failover
    // goes to the new master.
    auto master = resolve_master(address, deadline);
    if (!master) return std::unexpected(master.error());
    return open(*master, std::chrono::ceil<std::chrono::milliseconds>(deadline - steady_clock::now()));
  }
  // Non-blocking, so that no hiredis call ever waits: this class does.
  redisContext* context = address.is_unix() ? redisConnectUnixNonBlock(address.socket_path.c_str())
                                            : redisConnectNonBlock(address.host.c_str(), address.port);
  if (!context) return std::unexpected(storage_error(address, "out of memory for a connection"));
  if (context->err) {
    const std::string cause = context->errstr;
    redisFree(context);
    return std::unexpected(storage_error(address, "cannot connect: " + cause));
  }
  std::unique_ptr<Connection> connection(new Connection(context, address));
  if (auto ok = connection->finish_connecting(deadline); !ok) return std::unexpected(ok.error());
  if (address.tls) {
    if (auto ok = connection->start_tls(deadline); !ok) return std::unexpected(ok.error());
  }
  if (auto ok = connection->log_in(deadline); !ok) return std::unexpected(ok.error());
  return connection;
}

std::expected<void, StoreError> Connection::finish_connecting(Deadline deadline) {
  const auto started = steady_clock::now();
  const Wait waited = wait_for(POLLOUT, deadline);
  if (waited == Wait::timed_out)
    return std::unexpected(storage_error(address_, "cannot connect: no connection within " +
                                                       seconds_text(steady_clock::now() - started)));
  if (waited != Wait::ready) return std::unexpected(failure(waited, deadline));
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(context_->fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  if (error != 0) {
    broken_ = true;
    return std::unexpected(storage_error(address_, std::string("cannot connect: ") + std::strerror(error)));
  }
  return {};
}

std::expected<void, StoreError> Connection::start_tls(Deadline deadline) {
  auto transport = TlsTransport::create(address_, context_->fd);
  if (!transport) {
    broken_ = true;
    return std::unexpected(transport.error());
  }
  tls_ = std::move(*transport);
  const auto started = steady_clock::now();
  for (;;) {
    const auto status = tls_->handshake();
    if (status == TlsTransport::Status::done) return {};
    // A plain server closes, or answers with what reads as a record of a
    // TLS version that does not exist.
    constexpr std::string_view plain_port = " (is the server listening for TLS on this port?)";
    if (status == TlsTransport::Status::closed)
      return std::unexpected(
          broken_by("TLS handshake failed: " + tls_->failure() + std::string(plain_port), StoreErrorKind::storage));
    if (status == TlsTransport::Status::failed) {
      const bool not_tls = tls_->failure() == "wrong version number";
      return std::unexpected(broken_by("TLS handshake failed: " + tls_->failure() +
                                           std::string(not_tls ? plain_port : ""),
                                       StoreErrorKind::refused));
    }
    const Wait waited = wait_for(status == TlsTransport::Status::want_read ? POLLIN : POLLOUT, deadline);
    if (waited == Wait::timed_out)
      return std::unexpected(broken_by("TLS handshake failed: no answer within " +
                                           seconds_text(steady_clock::now() - started) +
                                           std::string(plain_port),
                                       StoreErrorKind::storage));
    if (waited != Wait::ready) return std::unexpected(failure(waited, deadline));
  }
}

StoreError Connection::broken_by(const std::string& cause, StoreErrorKind kind) {
  broken_ = true;
  return storage_error(address_, cause, kind);
}

std::expected<void, StoreError> Connection::log_in(Deadline deadline) {
  std::vector<Command> steps;
  if (!address_.password.empty()) {
    Command auth{std::nullopt, {"AUTH"}};
    if (!address_.user.empty()) auth.args.push_back(address_.user);
    auth.args.push_back(address_.password);
    steps.push_back(std::move(auth));
  }
  if (address_.db != 0) steps.push_back(Command{std::nullopt, {"SELECT", std::to_string(address_.db)}});
  // What the sentinels named may have become a replica since they answered.
  if (address_.sentinel) steps.push_back(Command{std::nullopt, {"ROLE"}});
  auto outcomes = run(steps, deadline);
  for (auto& outcome : outcomes)
    if (!outcome) return std::unexpected(outcome.error());
  if (!address_.sentinel) return {};
  const Reply& role = outcomes.back()->elements.empty() ? *outcomes.back() : outcomes.back()->elements.front();
  if (role.text == "master") return {};
  return std::unexpected(broken_by("the sentinels name it the master, but it says it is " +
                                       (role.text.empty() ? std::string("no master") : "a " + role.text) +
                                       " (a failover under way?)",
                                   StoreErrorKind::storage));
}

// One deadline for the whole wait: a signal or a slice that ends early only
// makes the next poll shorter.
Connection::Wait Connection::wait_for(short events, Deadline deadline) {
  executor::WaitWatch* const watch = executor::thread_wait_watch();
  for (;;) {
    const auto now = steady_clock::now();
    if (now >= deadline) return Wait::timed_out;
    std::chrono::nanoseconds slice = deadline - now;
    if (watch) slice = std::min(slice, std::max(watch->check_within(), std::chrono::nanoseconds(0)));
    const timespec limit{static_cast<time_t>(slice.count() / 1'000'000'000), static_cast<long>(slice.count() % 1'000'000'000)};
    pollfd wanted{context_->fd, events, 0};
    const int ready = ppoll(&wanted, 1, &limit, nullptr);
    // Readiness includes a hang-up or an error: the read or write reports it.
    if (ready > 0) return Wait::ready;
    if (ready < 0 && errno != EINTR) return Wait::failed;
    if (watch && watch->stop(steady_clock::now() - now, ready < 0)) return Wait::interrupted;
  }
}

StoreError Connection::failure(Wait why, Deadline deadline) {
  broken_ = true;
  switch (why) {
    case Wait::timed_out:
      return storage_error(address_, "no reply in time (the deadline passed " +
                                         seconds_text(steady_clock::now() - deadline) + " ago)");
    case Wait::interrupted:
      return storage_error(address_, "the wait for the server was interrupted", StoreErrorKind::interrupted);
    case Wait::failed:
      return storage_error(address_, std::string("cannot wait on the socket: ") + std::strerror(errno));
    case Wait::ready:
      break;
  }
  const bool reset = context_->err == REDIS_ERR_IO && std::strcmp(context_->errstr, std::strerror(ECONNRESET)) == 0;
  // A TLS port drops plain text at once, and nothing else says why.
  // Behind sentinels it is more likely a master going down mid-failover.
  if (!answered_ && !tls_ && !address_.is_unix() && !address_.sentinel && (reset || context_->err == REDIS_ERR_EOF))
    return storage_error(address_, std::string(reset ? "the server reset" : "the server closed") +
                                       " the connection before any reply: if this port is for TLS, the URL must be "
                                       "rediss://");
  if (context_->err == REDIS_ERR_EOF) return storage_error(address_, "the server closed the connection");
  return storage_error(address_, context_->errstr[0] ? context_->errstr : "connection failed");
}

std::expected<void, StoreError> Connection::send_all(Deadline deadline) {
  if (tls_) return tls_send(deadline);
  for (;;) {
    int done = 0;
    // On a non-blocking socket a full buffer (EAGAIN) or a signal (EINTR)
    // is no error: what is left waits for the next turn.
    if (redisBufferWrite(context_, &done) != REDIS_OK) return std::unexpected(failure(Wait::ready, deadline));
    if (done) return {};
    if (const Wait waited = wait_for(POLLOUT, deadline); waited != Wait::ready)
      return std::unexpected(failure(waited, deadline));
  }
}

std::expected<void*, StoreError> Connection::next_reply(Deadline deadline) {
  for (;;) {
    void* raw = nullptr;
    if (redisGetReplyFromReader(context_, &raw) != REDIS_OK) return std::unexpected(failure(Wait::ready, deadline));
    if (raw) return raw;
    // A TLS session may hold bytes the socket no longer shows: those are
    // read without a wait, and then it waits for what it needs itself.
    if (tls_) {
      if (!tls_->holds_input()) {
        if (const Wait waited = wait_for(POLLIN, deadline); waited != Wait::ready)
          return std::unexpected(failure(waited, deadline));
      }
      if (auto got = tls_receive(deadline); !got) return std::unexpected(got.error());
      continue;
    }
    if (const Wait waited = wait_for(POLLIN, deadline); waited != Wait::ready)
      return std::unexpected(failure(waited, deadline));
    if (redisBufferRead(context_) != REDIS_OK) return std::unexpected(failure(Wait::ready, deadline));
  }
}

std::expected<void, StoreError> Connection::tls_send(Deadline deadline) {
  while (const std::size_t left = sdslen(context_->obuf)) {
    const auto step = tls_->write(context_->obuf, left);
    if (step.status != TlsTransport::Status::done) {
      if (auto ok = tls_wait(step.status, deadline); !ok) return ok;
      continue;
    }
    // What hiredis's own write does with the part that went.
    sdsrange(context_->obuf, static_cast<int>(step.bytes), -1);
  }
  return {};
}

std::expected<void, StoreError> Connection::tls_receive(Deadline deadline) {
  char buffer[16 * 1024];
  for (;;) {
    const auto step = tls_->read(buffer, sizeof buffer);
    if (step.status == TlsTransport::Status::done) {
      if (redisReaderFeed(context_->reader, buffer, step.bytes) != REDIS_OK)
        return std::unexpected(broken_by("out of memory for a reply", StoreErrorKind::storage));
      return {};
    }
    if (auto ok = tls_wait(step.status, deadline); !ok) return ok;
  }
}

std::expected<void, StoreError> Connection::tls_wait(TlsTransport::Status status, Deadline deadline) {
  switch (status) {
    case TlsTransport::Status::closed:
      return std::unexpected(broken_by(tls_->failure(), StoreErrorKind::storage));
    case TlsTransport::Status::failed:
      return std::unexpected(broken_by("TLS failed: " + tls_->failure(), StoreErrorKind::refused));
    default:
      break;
  }
  const Wait waited = wait_for(status == TlsTransport::Status::want_read ? POLLIN : POLLOUT, deadline);
  if (waited != Wait::ready) return std::unexpected(failure(waited, deadline));
  return {};
}

std::vector<ReplyOutcome> Connection::exchange(std::span<const Command> commands, Deadline deadline,
                                               std::vector<std::size_t>& forgotten) {
  std::vector<ReplyOutcome> outcomes;
  outcomes.reserve(commands.size());
  if (broken_) {
    outcomes.assign(commands.size(), std::unexpected(storage_error(address_, "the connection failed before this reply")));
    return outcomes;
  }
  static const Command asking{std::nullopt, {"ASKING"}};
  for (const auto& command : commands) {
    if (command.asking) append(context_, asking);
    append(context_, command);
  }
  if (auto sent = send_all(deadline); !sent) {
    outcomes.assign(commands.size(), std::unexpected(sent.error()));
    return outcomes;
  }
  for (std::size_t i = 0; i < commands.size(); ++i) {
    // ASKING's own reply is +OK, which nothing waits for.
    auto raw = next_reply(deadline);
    if (raw && commands[i].asking) {
      OwnedReply(static_cast<redisReply*>(*raw));
      raw = next_reply(deadline);
    }
    if (!raw) {
      // The rest share the failure: a timeout or a signal for one is one for all.
      outcomes.resize(commands.size(), std::unexpected(raw.error()));
      break;
    }
    OwnedReply reply(static_cast<redisReply*>(*raw));
    answered_ = true;
    if (commands[i].script && is_noscript(*reply)) forgotten.push_back(i);
    // Every later call on it would be refused the same way.
    if (is_readonly(*reply)) broken_ = role_lost_ = true;
    outcomes.push_back(converted(*reply, address_));
  }
  return outcomes;
}

std::vector<ReplyOutcome> Connection::run(std::span<const Command> commands, Deadline deadline) {
  std::vector<std::size_t> forgotten;
  auto outcomes = exchange(commands, deadline, forgotten);
  if (forgotten.empty() || broken_) return outcomes;
  // Each missing script loaded once, then the commands that needed it, in
  // one write and one wait.
  std::vector<Command> again;
  std::array<std::optional<std::size_t>, kScriptCount> load_at;
  for (std::size_t i : forgotten) {
    auto& at = load_at[static_cast<std::size_t>(*commands[i].script)];
    if (at) continue;
    at = again.size();
    again.push_back(Command{std::nullopt, {"SCRIPT", "LOAD", std::string(script_text(*commands[i].script))}});
  }
  const std::size_t loads = again.size();
  for (std::size_t i : forgotten) again.push_back(commands[i]);
  std::vector<std::size_t> forgotten_again;  // a second NOSCRIPT stays an error
  auto retried = exchange(again, deadline, forgotten_again);
  for (std::size_t k = 0; k < forgotten.size(); ++k) {
    const std::size_t i = forgotten[k];
    auto& load = retried[*load_at[static_cast<std::size_t>(*commands[i].script)]];
    // A failed load says why better than the NOSCRIPT that follows it.
    outcomes[i] = load ? std::move(retried[loads + k]) : ReplyOutcome(std::unexpected(load.error()));
  }
  return outcomes;
}

ReplyOutcome Connection::run_one(const Command& command, Deadline deadline) {
  return std::move(run(std::span(&command, 1), deadline).front());
}

bool Connection::idle_and_healthy() const noexcept {
  if (broken_) return false;
  pollfd watch{context_->fd, POLLIN, 0};
  if (poll(&watch, 1, 0) == 0) return true;
  if (!tls_) return false;
  // A TLS 1.3 server sends its session tickets after the handshake: they
  // make an idle socket readable, and a read takes them without yielding
  // any reply. Anything else there is a close, an alert or unasked bytes.
  char scratch[512];
  return tls_->read(scratch, sizeof scratch).status == TlsTransport::Status::want_read;
}

}  // namespace quellgate::redis_store
