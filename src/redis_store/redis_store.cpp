#include "redis_store/redis_store.hpp"

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <span>

#include "redis_store/cluster_slots.hpp"
#include "redis_store/fork_guard.hpp"
#include "redis_store/lease_renewer.hpp"
#include "redis_store/router.hpp"
#include "redis_store/store_checks.hpp"

namespace quellgate::redis_store {

namespace {

// The key names of a name's counts, or of one key's: all under one prefix,
// which carries their hash tag, and so all in one slot of a Cluster.
struct Keys {
  explicit Keys(std::string key_prefix)
      : prefix(std::move(key_prefix)), slot(key_slot(prefix)),
        place(std::make_shared<const LeasePlace>(LeasePlace{prefix + "leases", prefix + "config", slot})) {}
  std::string prefix;
  std::uint16_t slot;
  LeasePlacePtr place;  // the set of leases and the configuration
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

// The releases of this process still on their way to any server, for a
// clean exit to wait for. Never destroyed: the exit may come after static
// destruction has begun.
struct ReleasesInFlight {
  std::mutex mutex;  // guards the three below; never held across I/O; held across fork() by the guard
  std::condition_variable all_answered;
  pid_t pid = getpid();
  std::size_t count = 0;
  Deadline latest{};  // the last timeout among them
  ForkGuard fork_guard{mutex};

  // A forked child inherits the parent's count, but not the threads that
  // would answer them.
  void forget_parents() {
    if (pid == getpid()) return;
    pid = getpid();
    count = 0;
  }
};

ReleasesInFlight& releases_in_flight() {
  static auto* instance = new ReleasesInFlight;
  return *instance;
}

// The most lease members one decision removes, so that its arguments stay short.
constexpr std::size_t kMostRemovedPerDecision = 64;

// What one process uses to reach the server for one name and its keys: the
// router it shares with the process's other stores there, the renewal thread
// and the leases it holds. A forked child gets its own.
struct Runtime {
  Runtime(const RedisAddress& address, const StoreOptions& options)
      : router(router_to(address)), renewer(router, options.timeout, options.lease) {}

  std::string next_lease_member() {
    // Uniqueness is all it needs, so no ordering with anything else.
    return holder + std::to_string(leases_minted.fetch_add(1, std::memory_order_relaxed));
  }

  const pid_t pid = getpid();
  const std::string holder = new_holder_id();
  std::atomic<std::uint64_t> leases_minted{0};
  const std::shared_ptr<Router> router;
  LeaseRenewer renewer;
};

// A decision with what it carries besides: its own lease member, and the
// unconfirmed ones it removes, which go back to the renewer if it fails.
struct DecisionRequest {
  Command command;
  std::string member;
  std::vector<std::string> removing;
  LeasePlacePtr place;  // where both live
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

DecisionOutcome decision_from(const ReplyOutcome& reply, Runtime& runtime, DecisionRequest& request,
                              const Identity& identity) {
  const std::string& member = request.member;
  const auto unanswered = [&](StoreError error) -> DecisionOutcome {
    // The script may have run: its lease, and those it was to remove, may be there.
    if (!member.empty()) request.removing.push_back(member);
    runtime.renewer.unconfirmed(std::move(request.removing), request.place);
    return std::unexpected(std::move(error));
  };
  if (!reply) return unanswered(reply.error());
  const auto& parts = reply->elements;
  if (reply->type != Reply::Type::array || parts.size() < 2 || parts[0].type != Reply::Type::integer)
    return unanswered(storage_error(identity.address, "the decision script gave an unexpected reply"));
  switch (parts[0].integer) {
    case kAdmitted: {
      Admitted admitted{std::nullopt, indexes_from(parts, 2), std::chrono::microseconds(parts[1].integer)};
      if (!member.empty()) {
        runtime.renewer.hold(member, request.place);
        admitted.lease = Lease{member};
      }
      return admitted;
    }
    case kWindowFull:
      return Refused{Refusal::window_full, std::chrono::milliseconds(parts[1].integer), indexes_from(parts, 2)};
    case kBurstFull:
      return Refused{Refusal::burst_full, std::chrono::milliseconds(parts[1].integer), {}};
    case kConfigMismatch:
      // Refused before any write: what it was to remove is still there.
      runtime.renewer.unconfirmed(std::move(request.removing), request.place);
      return std::unexpected(identity.mismatch(parts[1].text));
    default:
      return unanswered(storage_error(identity.address, "the decision script gave an unknown status"));
  }
}

ReportOutcome report_from(const ReplyOutcome& reply, const Identity& identity) {
  if (!reply) return std::unexpected(reply.error());
  const auto& parts = reply->elements;
  if (reply->type != Reply::Type::array || parts.empty() || parts[0].type != Reply::Type::integer)
    return std::unexpected(storage_error(identity.address, "the report script gave an unexpected reply"));
  if (parts[0].integer == kConfigMismatch && parts.size() == 2) return std::unexpected(identity.mismatch(parts[1].text));
  StoreReport report;
  report.leases_live = static_cast<std::uint64_t>(std::max(parts[0].integer, 0LL));
  for (std::size_t i = 1; i + 1 < parts.size(); i += 2)
    report.windows.push_back({static_cast<std::uint64_t>(std::max(parts[i].integer, 0LL)),
                              std::chrono::milliseconds(std::max(parts[i + 1].integer, 0LL))});
  return report;
}

// Counted from before the request is queued until its answer, or failure,
// has been handled.
void release_sent(Deadline deadline) {
  auto& all = releases_in_flight();
  const std::lock_guard lock(all.mutex);
  all.forget_parents();
  ++all.count;
  all.latest = std::max(all.latest, deadline);
}

void release_answered() {
  auto& all = releases_in_flight();
  {
    const std::lock_guard lock(all.mutex);
    if (all.pid != getpid() || all.count == 0) return;
    --all.count;
  }
  all.all_answered.notify_all();
}

// What the stores of one name in this process share, its keys' included:
// the configuration, and the runtime of the process that uses them.
struct NameState {
  NameState(RedisAddress where, std::string_view name, const SharedLimits& shared_limits, StoreOptions store_options)
      : address(std::move(where)), limits(shared_limits), config_text(describe(limits)), options(store_options),
        identity(std::make_shared<const Identity>(Identity{address, std::string(name), config_text})),
        runtime(std::make_shared<Runtime>(address, options)) {}

  // The runtime of the calling process. In a forked child the parent's is
  // left as it is, leaked: its sockets are the parent's, its threads did not
  // come along, and its locks may have been held by them.
  std::shared_ptr<Runtime> current_runtime() {
    const std::lock_guard lock(runtime_mutex);
    if (runtime->pid != getpid()) {
      new std::shared_ptr<Runtime>(std::move(runtime));
      runtime = std::make_shared<Runtime>(address, options);
    }
    return runtime;
  }

  std::size_t leases_held() const {
    const std::lock_guard lock(runtime_mutex);
    return runtime->pid == getpid() ? runtime->renewer.held() : 0;
  }

  const RedisAddress address;
  const SharedLimits limits;
  const std::string config_text;
  const StoreOptions options;
  const std::shared_ptr<const Identity> identity;

  mutable std::mutex runtime_mutex;  // guards runtime; held only to copy or replace it
  std::shared_ptr<Runtime> runtime;
  ForkGuard fork_guard{runtime_mutex};
};

// Counts the pipelined request from before it is queued until `done` has
// run with its answer, so that a call that starts once this returns finds
// it (the router's fence), and a clean exit waits for it.
void submit_ordered(const std::shared_ptr<Runtime>& runtime, std::uint16_t slot, Command command,
                    std::chrono::milliseconds timeout, std::function<void(ReplyOutcome)> done) {
  release_sent(std::chrono::steady_clock::now() + timeout);
  try {
    runtime->router->submit(slot, std::move(command), timeout, true,
                            [runtime, done = std::move(done)](ReplyOutcome reply) mutable {
                              release_answered();
                              done(std::move(reply));
                            });
  } catch (...) {
    release_answered();  // never queued: nothing may wait for it
    throw;
  }
}

class RedisStoreImpl final : public RedisStore {
 public:
  RedisStoreImpl(std::shared_ptr<NameState> name, std::string prefix, bool keyed)
      : name_(std::move(name)), keys_(std::move(prefix)), keyed_(keyed), decide_args_(decide_arguments()),
        report_args_(report_arguments()), settle_args_(settle_arguments()),
        member_arg_(3 + 2 + name_->limits.windows.size()), has_burst_(name_->limits.max_burst.has_value()) {}

  DecisionOutcome decide(std::uint64_t cost) override {
    auto runtime = name_->current_runtime();
    auto request = decision_request(*runtime, cost);
    return decision_from(run_blocking(*runtime, request.command), *runtime, request, *name_->identity);
  }

  void decide_async(DecisionCallback done, std::uint64_t cost) override {
    auto runtime = name_->current_runtime();
    auto request = decision_request(*runtime, cost);
    auto command = std::move(request.command);
    runtime->router->submit(keys_.slot, std::move(command), name_->options.timeout, false,
                            [identity = name_->identity, runtime, request = std::move(request),
                             done = std::move(done)](ReplyOutcome reply) mutable {
                              done(decision_from(reply, *runtime, request, *identity));
                            });
  }

  DoneOutcome release(const Lease& lease) override {
    auto runtime = name_->current_runtime();
    if (!runtime->renewer.drop(lease.member)) return {};
    auto reply = run_blocking(*runtime, release_command(lease));
    if (reply) return {};
    runtime->renewer.unconfirmed({lease.member}, keys_.place);
    return std::unexpected(reply.error());
  }

  void release_async(Lease lease, DoneCallback done) override {
    auto runtime = name_->current_runtime();
    if (!runtime->renewer.drop(lease.member)) return done({});
    auto command = release_command(lease);
    submit_ordered(runtime, keys_.slot, std::move(command), name_->options.timeout,
                   [runtime, place = keys_.place, member = std::move(lease.member),
                    done = std::move(done)](ReplyOutcome reply) mutable {
                     if (!reply) runtime->renewer.unconfirmed({std::move(member)}, place);
                     done(reply ? DoneOutcome{} : DoneOutcome{std::unexpected(reply.error())});
                   });
  }

  void settle_async(std::chrono::microseconds decided_at, std::int64_t delta, DoneCallback done) override {
    Command command{ScriptId::settle, settle_args_};
    const std::size_t windows = name_->limits.windows.size();
    command.args[1 + windows] = std::to_string(decided_at.count() / 1'000'000);
    command.args[2 + windows] = std::to_string(delta);
    submit_ordered(name_->current_runtime(), keys_.slot, std::move(command), name_->options.timeout,
                   [done = std::move(done)](ReplyOutcome reply) {
                     done(reply ? DoneOutcome{} : DoneOutcome{std::unexpected(reply.error())});
                   });
  }

  std::unique_ptr<RedisStore> for_key(std::string_view key) override {
    if (keyed_) return nullptr;
    return std::make_unique<RedisStoreImpl>(name_, key_prefix(name_->identity->name, key), true);
  }

  ReportOutcome report() override {
    return report_from(run_blocking(*name_->current_runtime(), Command{ScriptId::report, report_args_}),
                       *name_->identity);
  }

  void report_async(ReportCallback done) override {
    name_->current_runtime()->router->submit(
        keys_.slot, Command{ScriptId::report, report_args_}, name_->options.timeout, false,
        [identity = name_->identity, done = std::move(done)](ReplyOutcome reply) {
          done(report_from(reply, *identity));
        });
  }

  DoneOutcome verify() override {
    auto reply = run_blocking(*name_->current_runtime(), Command{std::nullopt, {"GET", keys_.place->config}});
    if (!reply) return std::unexpected(reply.error());
    if (reply->type == Reply::Type::text && reply->text != name_->config_text)
      return std::unexpected(name_->identity->mismatch(reply->text));
    return {};
  }

  std::size_t leases_held() const override { return name_->leases_held(); }

  std::string address() const override { return name_->address.describe(); }

 private:
  // The decide script's arguments, with an empty lease member at member_arg_
  // and the cost after max_burst.
  std::vector<std::string> decide_arguments() const {
    const SharedLimits& limits = name_->limits;
    std::vector<std::string> args{std::to_string(2 + limits.windows.size()), keys_.place->config,
                                  keys_.place->leases};
    // Named by period and length: two periods may share a length.
    for (const auto& window : limits.windows)
      args.push_back(keys_.prefix + "window:" + std::string(window.name) + ":" + std::to_string(window.length));
    args.insert(args.end(), {name_->config_text, std::to_string(name_->options.lease.count()), "",
                             std::to_string(limits.max_burst.value_or(0)), "1"});
    for (const auto& window : limits.windows) {
      args.push_back(std::to_string(window.limit));
      args.push_back(std::to_string(window.length));
    }
    return args;
  }

  std::span<const std::string> window_keys() const {
    return std::span(decide_args_).subspan(3, name_->limits.windows.size());
  }

  // The decide script's keys, the configuration text and the window lengths.
  std::vector<std::string> report_arguments() const {
    std::vector<std::string> args(decide_args_.begin(), decide_args_.begin() + 3);
    args.insert(args.end(), window_keys().begin(), window_keys().end());
    args.push_back(name_->config_text);
    for (const auto& window : name_->limits.windows) args.push_back(std::to_string(window.length));
    return args;
  }

  // The window keys, room for the admission's second and the delta, and the lengths.
  std::vector<std::string> settle_arguments() const {
    std::vector<std::string> args{std::to_string(name_->limits.windows.size())};
    args.insert(args.end(), window_keys().begin(), window_keys().end());
    args.insert(args.end(), {"", ""});
    for (const auto& window : name_->limits.windows) args.push_back(std::to_string(window.length));
    return args;
  }

  // The decide script's arguments end with the unconfirmed leases it removes.
  DecisionRequest decision_request(Runtime& runtime, std::uint64_t cost) const {
    DecisionRequest request{Command{ScriptId::decide, decide_args_}, {}, {}, keys_.place};
    if (cost != 1) request.command.args[member_arg_ + 2] = std::to_string(cost);
    if (!has_burst_) return request;
    request.member = runtime.next_lease_member();
    request.command.args[member_arg_] = request.member;
    request.removing = runtime.renewer.take_unconfirmed(*keys_.place, kMostRemovedPerDecision);
    request.command.args.insert(request.command.args.end(), request.removing.begin(), request.removing.end());
    return request;
  }

  Command release_command(const Lease& lease) const {
    return Command{std::nullopt, {"ZREM", keys_.place->leases, lease.member}};
  }

  // On a connection of the caller's own, after the releases and settlements
  // this process pipelined before it are answered (within the timeout), and
  // after a new connection had the timeout of its own to connect, within the
  // timeout.
  ReplyOutcome run_blocking(Runtime& runtime, const Command& command) const {
    return runtime.router->run(keys_.slot, command, name_->options.timeout, true);
  }

  const std::shared_ptr<NameState> name_;
  const Keys keys_;
  const bool keyed_;
  const std::vector<std::string> decide_args_;
  const std::vector<std::string> report_args_;
  const std::vector<std::string> settle_args_;
  const std::size_t member_arg_;  // numkeys, the keys (config, leases, windows), config text, lease ms
  const bool has_burst_;
};

// SCAN rather than a list of key names: it also finds the windows of an
// earlier configuration of the name, and every key's counts.
DoneOutcome delete_keys(Connection& connection, const RedisAddress& address, const std::string& pattern,
                        Deadline deadline) {
  std::string cursor = "0";
  do {
    auto page = connection.run_one(Command{std::nullopt, {"SCAN", cursor, "MATCH", pattern, "COUNT", "200"}},
                                   deadline);
    if (!page) return std::unexpected(page.error());
    if (page->elements.size() != 2) return std::unexpected(storage_error(address, "unexpected SCAN reply"));
    cursor = page->elements[0].text;
    // One DEL per slot, all in one exchange: a Cluster node refuses a
    // command whose keys lie in more than one slot, and a key's counts have
    // a slot of their own.
    std::map<std::uint16_t, Command> deletions;
    for (const auto& key : page->elements[1].elements) {
      auto& del = deletions.try_emplace(key_slot(key.text), Command{std::nullopt, {"DEL"}}).first->second;
      del.args.push_back(key.text);
    }
    std::vector<Command> commands;
    for (auto& [slot, del] : deletions) commands.push_back(std::move(del));
    for (auto& done : connection.run(commands, deadline))
      if (!done) return std::unexpected(done.error());
  } while (cursor != "0");
  return {};
}

}  // namespace

std::expected<std::unique_ptr<RedisStore>, StoreError> open_redis_store(std::string_view url, std::string_view name,
                                                                        const SharedLimits& limits,
                                                                        const StoreOptions& options) {
  auto address = checked_arguments(url, name, &limits, options);
  if (!address) return std::unexpected(address.error());
  return std::make_unique<RedisStoreImpl>(std::make_shared<NameState>(std::move(*address), name, limits, options),
                                          key_prefix(name), false);
}

void finish_releases() noexcept {
  auto& all = releases_in_flight();
  std::unique_lock lock(all.mutex);
  all.forget_parents();
  all.all_answered.wait_until(lock, all.latest, [&] { return all.count == 0; });
}

DoneOutcome remove_redis_name(std::string_view url, std::string_view name, const StoreOptions& options) {
  auto address = checked_arguments(url, name, nullptr, options);
  if (!address) return std::unexpected(address.error());
  // Each master of a Cluster keeps the keys of its slots; while a slot
  // migrates, both its masters may hold some.
  auto masters = router_to(*address)->masters(options.timeout);
  if (!masters) return std::unexpected(masters.error());
  for (const RedisAddress& master : *masters) {
    auto connection = Connection::open(master, options.timeout);
    if (!connection) return std::unexpected(connection.error());
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    if (auto done = delete_keys(**connection, master, name_pattern(name), deadline); !done) return done;
  }
  return {};
}

}  // namespace quellgate::redis_store
