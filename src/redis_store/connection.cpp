#include "redis_store/connection.hpp"

#include <hiredis/hiredis.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace quellgate::redis_store {

namespace {

using std::chrono::steady_clock;

// hiredis takes a zero timeval as "wait forever"; the shortest real wait is
// used instead once the deadline has passed, so the call still fails fast.
timeval timeval_until(Deadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - steady_clock::now());
  const long long micros = std::max<long long>(left.count(), 1);
  return timeval{static_cast<time_t>(micros / 1'000'000), static_cast<suseconds_t>(micros % 1'000'000)};
}

struct ReplyDeleter {
  void operator()(redisReply* reply) const noexcept { freeReplyObject(reply); }
};
using OwnedReply = std::unique_ptr<redisReply, ReplyDeleter>;

// NOSCRIPT is told apart before conversion, as it is recovered from.
bool is_noscript(const redisReply& reply) {
  return reply.type == REDIS_REPLY_ERROR && std::string_view(reply.str, reply.len).starts_with("NOSCRIPT");
}

ReplyOutcome converted(const redisReply& raw, const RedisAddress& address) {
  Reply reply;
  switch (raw.type) {
    case REDIS_REPLY_ERROR:
      // READONLY after a failover, OOM, a script error: the server's own words.
      return std::unexpected(storage_error(address, "the server replied: " + std::string(raw.str, raw.len)));
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

void append(redisContext* context, const Command& command, const std::string* sha) {
  std::vector<const char*> argv;
  std::vector<std::size_t> lengths;
  argv.reserve(command.args.size() + 2);
  lengths.reserve(command.args.size() + 2);
  if (sha) {
    argv.push_back("EVALSHA");
    lengths.push_back(7);
    argv.push_back(sha->data());
    lengths.push_back(sha->size());
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

StoreError storage_error(const RedisAddress& address, const std::string& cause) {
  return StoreError{StoreErrorKind::storage, "Redis at " + address.describe() + ": " + cause};
}

Connection::Connection(redisContext* context, const RedisAddress& address)
    : context_(context), address_(address), owner_(getpid()) {}

Connection::~Connection() { redisFree(context_); }

std::expected<std::unique_ptr<Connection>, StoreError> Connection::open(const RedisAddress& address,
                                                                        Deadline deadline) {
  const auto started = steady_clock::now();
  const timeval limit = timeval_until(deadline);
  redisContext* context = address.is_unix() ? redisConnectUnixWithTimeout(address.socket_path.c_str(), limit)
                                            : redisConnectWithTimeout(address.host.c_str(), address.port, limit);
  if (!context) return std::unexpected(storage_error(address, "out of memory for a connection"));
  if (context->err) {
    std::string cause = context->errstr;
    redisFree(context);
    if (cause.find("timed out") != std::string::npos || cause.find("temporarily unavailable") != std::string::npos)
      cause = "no connection within " + seconds_text(steady_clock::now() - started);
    return std::unexpected(storage_error(address, "cannot connect: " + cause));
  }
  std::unique_ptr<Connection> connection(new Connection(context, address));
  if (auto ok = connection->log_in(deadline); !ok) return std::unexpected(ok.error());
  for (std::size_t s = 0; s < kScriptCount; ++s)
    if (auto ok = connection->load_script(static_cast<ScriptId>(s), deadline); !ok) return std::unexpected(ok.error());
  return connection;
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
  for (auto& outcome : run(steps, deadline))
    if (!outcome) return std::unexpected(outcome.error());
  return {};
}

std::expected<void, StoreError> Connection::load_script(ScriptId script, Deadline deadline) {
  auto outcome = run_one(Command{std::nullopt, {"SCRIPT", "LOAD", std::string(script_text(script))}}, deadline);
  if (!outcome) return std::unexpected(outcome.error());
  script_sha_[static_cast<std::size_t>(script)] = outcome->text;
  return {};
}

bool Connection::set_timeout(Deadline deadline) {
  return redisSetTimeout(context_, timeval_until(deadline)) == REDIS_OK;
}

StoreError Connection::transport_error(Deadline deadline) {
  broken_ = true;
  const int saved_errno = errno;
  if (context_->err == REDIS_ERR_EOF) return storage_error(address_, "the server closed the connection");
  if (context_->err == REDIS_ERR_IO && (saved_errno == EAGAIN || saved_errno == EWOULDBLOCK))
    return storage_error(address_, "no reply in time (deadline passed " +
                                       seconds_text(steady_clock::now() - deadline) + " ago)");
  return storage_error(address_, context_->errstr[0] ? context_->errstr : "connection failed");
}

std::vector<ReplyOutcome> Connection::exchange(std::span<const Command> commands, Deadline deadline,
                                               std::vector<std::size_t>& forgotten) {
  std::vector<ReplyOutcome> outcomes;
  outcomes.reserve(commands.size());
  if (!broken_ && !set_timeout(deadline)) transport_error(deadline);
  for (const auto& command : commands) {
    const std::string* sha = command.script ? &script_sha_[static_cast<std::size_t>(*command.script)] : nullptr;
    if (!broken_) append(context_, command, sha);
  }
  for (std::size_t i = 0; i < commands.size(); ++i) {
    if (broken_) {
      outcomes.push_back(std::unexpected(storage_error(address_, "the connection failed before this reply")));
      continue;
    }
    void* raw = nullptr;
    if (redisGetReply(context_, &raw) != REDIS_OK || !raw) {
      outcomes.push_back(std::unexpected(transport_error(deadline)));
      continue;
    }
    OwnedReply reply(static_cast<redisReply*>(raw));
    if (commands[i].script && is_noscript(*reply)) forgotten.push_back(i);
    outcomes.push_back(converted(*reply, address_));
  }
  return outcomes;
}

std::vector<ReplyOutcome> Connection::run(std::span<const Command> commands, Deadline deadline) {
  std::vector<std::size_t> forgotten;
  auto outcomes = exchange(commands, deadline, forgotten);
  if (forgotten.empty() || broken_) return outcomes;
  std::vector<Command> again;
  std::vector<std::size_t> resent;
  std::array<std::optional<StoreError>, kScriptCount> load_failure;
  std::array<bool, kScriptCount> reloaded{};
  for (std::size_t i : forgotten) {
    const auto script = static_cast<std::size_t>(*commands[i].script);
    if (!reloaded[script] && !load_failure[script]) {
      if (auto ok = load_script(*commands[i].script, deadline); !ok) load_failure[script] = ok.error();
      else reloaded[script] = true;
    }
    if (load_failure[script]) {
      outcomes[i] = std::unexpected(*load_failure[script]);
      continue;
    }
    again.push_back(commands[i]);
    resent.push_back(i);
  }
  std::vector<std::size_t> forgotten_again;  // a second NOSCRIPT stays an error
  auto retried = exchange(again, deadline, forgotten_again);
  for (std::size_t k = 0; k < resent.size(); ++k) outcomes[resent[k]] = std::move(retried[k]);
  return outcomes;
}

ReplyOutcome Connection::run_one(const Command& command, Deadline deadline) {
  return std::move(run(std::span(&command, 1), deadline).front());
}

bool Connection::idle_and_healthy() const noexcept {
  if (broken_) return false;
  pollfd watch{context_->fd, POLLIN, 0};
  return poll(&watch, 1, 0) == 0;
}

}  // namespace quellgate::redis_store
