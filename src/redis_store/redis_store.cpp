#include "redis_store/redis_store.hpp"

#include <unistd.h>

#include <atomic>
#include <mutex>
#include <random>

#include "redis_store/connection_pool.hpp"
#include "redis_store/fork_guard.hpp"
#include "redis_store/lease_renewer.hpp"
#include "redis_store/pipeline.hpp"
#include "redis_store/store_checks.hpp"

namespace quellgate::redis_store {

namespace {

struct Keys {
  explicit Keys(std::string_view name)
      : prefix(key_prefix(name)), config(prefix + "config"), leases(prefix + "leases") {}
  std::string prefix;
  std::string config;
  std::string leases;
};

// Lease members start with it, so two processes (or a parent and its child)
// never mint the same member.
std::string new_holder_id() {
  std::random_device entropy;
  const std::uint64_t salt = (std::uint64_t{entropy()} << 32) | entropy();
  char text[48];
  std::snprintf(text, sizeof text, "%d.%016llx.", static_cast<int>(getpid()), static_cast<unsigned long long>(salt));
  return text;
}

// What one process uses to reach the server: connections, the I/O thread,
// the renewal thread and the leases it holds. A forked child gets its own.
struct Runtime {
  Runtime(const RedisAddress& address, const Keys& keys, const StoreOptions& options)
      : pool(address, options.timeout), pipeline(address, options.timeout),
        renewer(address, keys.leases, keys.config, options.timeout, options.lease) {}

  std::string next_lease_member() {
    // Uniqueness is all it needs, so no ordering with anything else.
    return holder + std::to_string(leases_minted.fetch_add(1, std::memory_order_relaxed));
  }

  const pid_t pid = getpid();
  const std::string holder = new_holder_id();
  std::atomic<std::uint64_t> leases_minted{0};
  ConnectionPool pool;
  Pipeline pipeline;
  LeaseRenewer renewer;
};

// What a decision's reply is read against; shared with callbacks that may
// outlive the store.
struct Identity {
  RedisAddress address;
  std::string name;
  std::string config_text;

  StoreError mismatch(const std::string& stored) const {
    // Worded as the shared-memory home words it.
    return StoreError{StoreErrorKind::config, "shared limiter '" + name + "' exists with " + stored +
                                                  ", which differs from the " + config_text + " asked for"};
  }
};

std::vector<std::uint64_t> indexes_from(const std::vector<Reply>& elements, std::size_t first) {
  std::vector<std::uint64_t> indexes;
  for (std::size_t i = first; i < elements.size(); ++i)
    indexes.push_back(static_cast<std::uint64_t>(std::max(elements[i].integer, 0LL)));
  return indexes;
}

DecisionOutcome decision_from(const ReplyOutcome& reply, Runtime& runtime, const std::string& member,
                            const Identity& identity) {
  if (!reply) return std::unexpected(reply.error());
  const auto& parts = reply->elements;
  if (reply->type != Reply::Type::array || parts.size() < 2 || parts[0].type != Reply::Type::integer)
    return std::unexpected(storage_error(identity.address, "the decision script gave an unexpected reply"));
  switch (parts[0].integer) {
    case kAdmitted: {
      Admitted admitted{std::nullopt, indexes_from(parts, 1)};
      if (!member.empty()) {
        runtime.renewer.hold(member);
        admitted.lease = Lease{member};
      }
      return admitted;
    }
    case kWindowFull:
      return Refused{Refusal::window_full, std::chrono::milliseconds(parts[1].integer), indexes_from(parts, 2)};
    case kBurstFull:
      return Refused{Refusal::burst_full, std::chrono::milliseconds(parts[1].integer), {}};
    case kConfigMismatch:
      return std::unexpected(identity.mismatch(parts[1].text));
    default:
      return std::unexpected(storage_error(identity.address, "the decision script gave an unknown status"));
  }
}

class RedisStoreImpl final : public RedisStore {
 public:
  RedisStoreImpl(RedisAddress address, std::string_view name, const SharedLimits& limits, StoreOptions options)
      : address_(std::move(address)), keys_(name), config_text_(describe(limits)), options_(options),
        identity_(std::make_shared<const Identity>(Identity{address_, std::string(name), config_text_})),
        decide_args_(decide_arguments(limits)), report_args_(report_arguments(limits)), member_arg_(3 + 2 + limits.windows.size()),
        has_burst_(limits.max_burst.has_value()),
        runtime_(std::make_shared<Runtime>(address_, keys_, options_)) {}

  DecisionOutcome decide() override {
    auto runtime = current_runtime();
    auto command = decide_command(*runtime);
    return decision_from(run_blocking(*runtime, command), *runtime, command.args[member_arg_], *identity_);
  }

  void decide_async(DecisionCallback done) override {
    auto runtime = current_runtime();
    auto command = decide_command(*runtime);
    auto member = command.args[member_arg_];
    runtime->pipeline.submit(std::move(command), [identity = identity_, runtime, member = std::move(member),
                                                  done = std::move(done)](ReplyOutcome reply) {
      done(decision_from(reply, *runtime, member, *identity));
    });
  }

  DoneOutcome release(const Lease& lease) override {
    auto runtime = current_runtime();
    if (!runtime->renewer.drop(lease.member)) return {};
    auto reply = run_blocking(*runtime, release_command(lease));
    if (!reply) return std::unexpected(reply.error());
    return {};
  }

  void release_async(Lease lease, DoneCallback done) override {
    auto runtime = current_runtime();
    if (!runtime->renewer.drop(lease.member)) return done({});
    runtime->pipeline.submit(release_command(lease), [done = std::move(done)](ReplyOutcome reply) {
      done(reply ? DoneOutcome{} : DoneOutcome{std::unexpected(reply.error())});
    });
  }

  ReportOutcome report() override {
    auto reply = run_blocking(*current_runtime(), Command{ScriptId::report, report_args_});
    if (!reply) return std::unexpected(reply.error());
    const auto& parts = reply->elements;
    if (reply->type != Reply::Type::array || parts.empty() || parts[0].type != Reply::Type::integer)
      return std::unexpected(storage_error(address_, "the report script gave an unexpected reply"));
    if (parts[0].integer == kConfigMismatch && parts.size() == 2) return std::unexpected(identity_->mismatch(parts[1].text));
    StoreReport report;
    report.leases_live = static_cast<std::uint64_t>(std::max(parts[0].integer, 0LL));
    for (std::size_t i = 1; i + 1 < parts.size(); i += 2)
      report.windows.push_back({static_cast<std::uint64_t>(std::max(parts[i].integer, 0LL)),
                                std::chrono::milliseconds(std::max(parts[i + 1].integer, 0LL))});
    return report;
  }

  DoneOutcome verify() override {
    auto reply = run_blocking(*current_runtime(), Command{std::nullopt, {"GET", keys_.config}});
    if (!reply) return std::unexpected(reply.error());
    if (reply->type == Reply::Type::text && reply->text != config_text_)
      return std::unexpected(identity_->mismatch(reply->text));
    return {};
  }

  std::size_t leases_held() const override {
    const std::lock_guard lock(runtime_mutex_);
    return runtime_->pid == getpid() ? runtime_->renewer.held() : 0;
  }

  std::string address() const override { return address_.describe(); }

 private:
  // The decide script's arguments, with an empty lease member at member_arg_.
  std::vector<std::string> decide_arguments(const SharedLimits& limits) const {
    std::vector<std::string> args{std::to_string(2 + limits.windows.size()), keys_.config, keys_.leases};
    // Named by period and length: two periods may share a length.
    for (const auto& window : limits.windows)
      args.push_back(keys_.prefix + "window:" + std::string(window.name) + ":" + std::to_string(window.length));
    args.insert(args.end(), {config_text_, std::to_string(options_.lease.count()), "",
                             std::to_string(limits.max_burst.value_or(0))});
    for (const auto& window : limits.windows) {
      args.push_back(std::to_string(window.limit));
      args.push_back(std::to_string(window.length));
    }
    return args;
  }

  // The decide script's keys, the configuration text and the window lengths.
  std::vector<std::string> report_arguments(const SharedLimits& limits) const {
    std::vector<std::string> args(decide_args_.begin(), decide_args_.begin() + 3 + static_cast<std::ptrdiff_t>(limits.windows.size()));
    args.push_back(config_text_);
    for (const auto& window : limits.windows) args.push_back(std::to_string(window.length));
    return args;
  }

  Command decide_command(Runtime& runtime) const {
    Command command{ScriptId::decide, decide_args_};
    if (has_burst_) command.args[member_arg_] = runtime.next_lease_member();
    return command;
  }

  Command release_command(const Lease& lease) const {
    return Command{std::nullopt, {"ZREM", keys_.leases, lease.member}};
  }

  // On a connection of the caller's own, within the timeout, after a new
  // connection had the timeout of its own to connect.
  ReplyOutcome run_blocking(Runtime& runtime, const Command& command) const {
    auto connection = runtime.pool.take();
    if (!connection) return std::unexpected(connection.error());
    const auto deadline = std::chrono::steady_clock::now() + options_.timeout;
    auto reply = (*connection)->run_one(command, deadline);
    runtime.pool.give_back(std::move(*connection));
    return reply;
  }

  // The runtime of the calling process. In a forked child the parent's is
  // left as it is, leaked: its sockets are the parent's, its threads did not
  // come along, and its locks may have been held by them.
  std::shared_ptr<Runtime> current_runtime() {
    const std::lock_guard lock(runtime_mutex_);
    if (runtime_->pid != getpid()) {
      new std::shared_ptr<Runtime>(std::move(runtime_));
      runtime_ = std::make_shared<Runtime>(address_, keys_, options_);
    }
    return runtime_;
  }

  const RedisAddress address_;
  const Keys keys_;
  const std::string config_text_;
  const StoreOptions options_;
  const std::shared_ptr<const Identity> identity_;
  const std::vector<std::string> decide_args_;
  const std::vector<std::string> report_args_;
  const std::size_t member_arg_;  // numkeys, the keys (config, leases, windows), config text, lease ms
  const bool has_burst_;

  mutable std::mutex runtime_mutex_;  // guards runtime_; held only to copy or replace it
  std::shared_ptr<Runtime> runtime_;
  ForkGuard fork_guard_{runtime_mutex_};
};

// SCAN rather than a list of key names: it also finds the windows of an
// earlier configuration of the name.
DoneOutcome delete_keys(Connection& connection, const RedisAddress& address, const std::string& prefix,
                        Deadline deadline) {
  std::string cursor = "0";
  do {
    auto page = connection.run_one(Command{std::nullopt, {"SCAN", cursor, "MATCH", prefix + "*", "COUNT", "200"}},
                                   deadline);
    if (!page) return std::unexpected(page.error());
    if (page->elements.size() != 2) return std::unexpected(storage_error(address, "unexpected SCAN reply"));
    cursor = page->elements[0].text;
    Command del{std::nullopt, {"DEL"}};
    for (const auto& key : page->elements[1].elements) del.args.push_back(key.text);
    if (del.args.size() > 1) {
      if (auto done = connection.run_one(del, deadline); !done) return std::unexpected(done.error());
    }
  } while (cursor != "0");
  return {};
}

}  // namespace

std::expected<std::unique_ptr<RedisStore>, StoreError> open_redis_store(std::string_view url, std::string_view name,
                                                                        const SharedLimits& limits,
                                                                        const StoreOptions& options) {
  auto address = checked_arguments(url, name, &limits, options);
  if (!address) return std::unexpected(address.error());
  return std::make_unique<RedisStoreImpl>(std::move(*address), name, limits, options);
}

DoneOutcome remove_redis_name(std::string_view url, std::string_view name, const StoreOptions& options) {
  auto address = checked_arguments(url, name, nullptr, options);
  if (!address) return std::unexpected(address.error());
  auto connection = Connection::open(*address, options.timeout);
  if (!connection) return std::unexpected(connection.error());
  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  return delete_keys(**connection, *address, key_prefix(name), deadline);
}

}  // namespace quellgate::redis_store
