#pragma once
#include <sys/types.h>

#include <chrono>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "redis_store/redis_url.hpp"
#include "redis_store/reply.hpp"
#include "redis_store/store_error.hpp"
#include "redis_store/tls_transport.hpp"

struct redisContext;

namespace quellgate::redis_store {

using Deadline = std::chrono::steady_clock::time_point;
using ReplyOutcome = std::expected<Reply, StoreError>;

// One hiredis connection, used by one thread at a time. Its socket is
// non-blocking and every wait on it is a poll against one deadline on the
// monotonic clock, so neither a signal (EINTR) nor a server that trickles its
// reply a byte at a time stretches a call past its deadline. A thread that
// set a wait watch (executor/wait_watch.hpp) has it asked between slices of
// each wait, so Ctrl+C can end one. Over TLS (rediss://) hiredis still
// formats the commands and parses the replies, but the bytes go through a
// TlsTransport, waited on in the same way.
class Connection {
 public:
  // Connects, logs in and selects the database, within `timeout` of its own.
  // The scripts are not loaded: run() loads them when the server says it
  // lacks one.
  static std::expected<std::unique_ptr<Connection>, StoreError> open(const RedisAddress& address,
                                                                     std::chrono::milliseconds timeout);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Sends the commands in one write and reads their replies in order, all
  // before the deadline. Scripts go as EVALSHA of their known hash; those the
  // server lacks (NOSCRIPT: a new server, a restart, SCRIPT FLUSH) are loaded
  // and their commands sent again, in one more exchange. After a transport
  // failure the connection is broken and every unanswered command gets it.
  std::vector<ReplyOutcome> run(std::span<const Command> commands, Deadline deadline);
  ReplyOutcome run_one(const Command& command, Deadline deadline);

  bool broken() const noexcept { return broken_; }
  // Broken by a READONLY reply: the server is a replica now, and so are the
  // other connections to it.
  bool role_lost() const noexcept { return role_lost_; }
  // False when the server closed the idle socket (a restart) or sent
  // something unasked: the connection must not be used.
  bool idle_and_healthy() const noexcept;
  // The process that opened it: a forked child must not share its socket.
  pid_t owner() const noexcept { return owner_; }

 private:
  enum class Wait { ready, timed_out, interrupted, failed };

  Connection(redisContext* context, const RedisAddress& address);
  std::expected<void, StoreError> finish_connecting(Deadline deadline);
  std::expected<void, StoreError> start_tls(Deadline deadline);
  std::expected<void, StoreError> log_in(Deadline deadline);
  Wait wait_for(short events, Deadline deadline);
  StoreError failure(Wait why, Deadline deadline);
  std::expected<void, StoreError> send_all(Deadline deadline);
  std::expected<void*, StoreError> next_reply(Deadline deadline);
  std::expected<void, StoreError> tls_send(Deadline deadline);
  std::expected<void, StoreError> tls_receive(Deadline deadline);
  std::expected<void, StoreError> tls_wait(TlsTransport::Status status, Deadline deadline);
  StoreError broken_by(const std::string& cause, StoreErrorKind kind);
  std::vector<ReplyOutcome> exchange(std::span<const Command> commands, Deadline deadline,
                                     std::vector<std::size_t>& forgotten);

  redisContext* context_;
  std::unique_ptr<TlsTransport> tls_;  // over context_'s socket; null for plain TCP and Unix sockets
  RedisAddress address_;
  bool broken_ = false;
  bool role_lost_ = false;
  bool answered_ = false;  // whether any reply came: a TLS port sends none to plain text
  pid_t owner_;
};

// "Redis at <address>: <cause>", the text every storage failure carries;
// `kind` storage means the server could not be reached.
StoreError storage_error(const RedisAddress& address, const std::string& cause,
                         StoreErrorKind kind = StoreErrorKind::storage);

}  // namespace quellgate::redis_store
