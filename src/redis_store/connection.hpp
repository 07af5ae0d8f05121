#pragma once
#include <sys/types.h>

#include <array>
#include <chrono>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "redis_store/redis_url.hpp"
#include "redis_store/reply.hpp"
#include "redis_store/store_error.hpp"

struct redisContext;

namespace quellgate::redis_store {

using Deadline = std::chrono::steady_clock::time_point;
using ReplyOutcome = std::expected<Reply, StoreError>;

// One blocking hiredis connection, used by one thread at a time. Every step
// (connect, each reply) is bounded by the caller's deadline, so a dead or
// stopped server costs a call at most its storage timeout.
class Connection {
 public:
  // Connects, logs in, selects the database and loads the scripts.
  static std::expected<std::unique_ptr<Connection>, StoreError> open(const RedisAddress& address, Deadline deadline);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Sends the commands in one write and reads their replies in order. A
  // script the server forgot (NOSCRIPT: a restart, SCRIPT FLUSH) is loaded
  // again and its commands sent again. After a transport failure the
  // connection is broken and every unanswered command gets the failure.
  std::vector<ReplyOutcome> run(std::span<const Command> commands, Deadline deadline);
  ReplyOutcome run_one(const Command& command, Deadline deadline);

  bool broken() const noexcept { return broken_; }
  // False when the server closed the idle socket (a restart) or sent
  // something unasked: the connection must not be used.
  bool idle_and_healthy() const noexcept;
  // The process that opened it: a forked child must not share its socket.
  pid_t owner() const noexcept { return owner_; }

 private:
  Connection(redisContext* context, const RedisAddress& address);
  std::expected<void, StoreError> log_in(Deadline deadline);
  std::expected<void, StoreError> load_script(ScriptId script, Deadline deadline);
  bool set_timeout(Deadline deadline);
  StoreError transport_error(Deadline deadline);
  std::vector<ReplyOutcome> exchange(std::span<const Command> commands, Deadline deadline,
                                     std::vector<std::size_t>& forgotten);

  redisContext* context_;
  RedisAddress address_;
  std::array<std::string, kScriptCount> script_sha_;
  bool broken_ = false;
  pid_t owner_;
};

// "Redis at <address>: <cause>", the text every storage failure carries.
StoreError storage_error(const RedisAddress& address, const std::string& cause);

}  // namespace quellgate::redis_store
