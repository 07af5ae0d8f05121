#include "redis_store/cluster_router.hpp"

#include <algorithm>

#include "executor/thread_sleep.hpp"

namespace quellgate::redis_store {

namespace {

using std::chrono::steady_clock;
using namespace std::chrono_literals;

// A slot moves once per reshard or failover: more redirects than this in a
// row for one request is a loop between nodes that disagree.
constexpr int kMostRedirects = 5;
// A migrating slot's keys move in some milliseconds; a failover takes the
// Cluster's node timeout and an election, so polling faster buys nothing.
constexpr auto kTryAgainPause = 20ms;
constexpr auto kLostNodePause = 50ms;
constexpr auto kDownPause = 100ms;
// Map reads no closer together than this, however many callers ask.
constexpr auto kRereadGap = 50ms;

std::chrono::milliseconds left_until(Deadline deadline) {
  return std::max(std::chrono::ceil<std::chrono::milliseconds>(deadline - steady_clock::now()), 0ms);
}

ReplyOutcome run_on(ServerLink& link, const Command& command, bool asking, Deadline deadline, bool fenced) {
  if (fenced && !link.fence.wait_for_earlier(deadline))
    return std::unexpected(
        storage_error(link.address, "no reply in time: a release or settlement sent before this call is unanswered"));
  auto connection = link.pool.take(left_until(deadline));
  if (!connection) return std::unexpected(connection.error());
  ReplyOutcome reply;
  if (asking) {
    Command once = command;
    once.asking = true;
    reply = (*connection)->run_one(once, deadline);
  } else {
    reply = (*connection)->run_one(command, deadline);
  }
  link.pool.give_back(std::move(*connection));
  return reply;
}

}  // namespace

struct ClusterRouter::Attempt {
  std::uint16_t slot;
  Command command;
  Deadline deadline;
  bool ordered;
  ReplyCallback done;
  std::optional<Endpoint> ask{};
  int redirects = 0;
  std::shared_ptr<ServerLink> fenced_at{};  // the node holding its ticket, while it holds one
};

RedisAddress ClusterRouter::node_address(const Endpoint& node) const {
  RedisAddress address = cluster_;
  address.host = node.host;
  address.port = node.port;
  address.cluster_seeds.clear();
  return address;
}

StoreError ClusterRouter::unmapped(std::uint16_t slot) const {
  return storage_error(cluster_, "no node serves slot " + std::to_string(slot) + " (are all slots assigned?)");
}

std::shared_ptr<ServerLink> ClusterRouter::link_at(const Endpoint& node) {
  const auto known = [&]() -> std::shared_ptr<ServerLink> {
    for (std::size_t i = 0; i < nodes_.size(); ++i)
      if (nodes_[i] == node) return links_[i];
    return nullptr;
  };
  {
    const std::lock_guard lock(map_mutex_);
    if (auto link = known()) return link;
  }
  auto made = link_to(node_address(node));
  const std::lock_guard lock(map_mutex_);
  if (auto link = known()) return link;
  nodes_.push_back(node);
  links_.push_back(made);
  return made;
}

std::shared_ptr<ServerLink> ClusterRouter::mapped_link(std::uint16_t slot) {
  const std::lock_guard lock(map_mutex_);
  const auto owner = slot_owner_[slot];
  return owner == 0 ? nullptr : links_[owner - 1u];
}

void ClusterRouter::learn(std::uint16_t slot, const Endpoint& node) {
  link_at(node);
  const std::lock_guard lock(map_mutex_);
  for (std::size_t i = 0; i < nodes_.size(); ++i)
    if (nodes_[i] == node) slot_owner_[slot] = static_cast<std::uint16_t>(i + 1);
}

void ClusterRouter::install(const std::vector<SlotRange>& ranges) {
  for (const auto& range : ranges) link_at(range.master);
  const std::lock_guard lock(map_mutex_);
  slot_owner_.fill(0);
  for (const auto& range : ranges) {
    const auto at = std::ranges::find(nodes_, range.master) - nodes_.begin();
    for (std::size_t slot = range.first; slot <= range.last; ++slot)
      slot_owner_[slot] = static_cast<std::uint16_t>(at + 1);
  }
}

std::expected<std::vector<SlotRange>, StoreError> ClusterRouter::slots_from(const Endpoint& node, Deadline deadline) {
  auto link = link_at(node);
  auto connection = link->pool.take(left_until(deadline));
  if (!connection) return std::unexpected(connection.error());
  auto reply = (*connection)->run_one(Command{std::nullopt, {"CLUSTER", "SLOTS"}}, deadline);
  link->pool.give_back(std::move(*connection));
  if (!reply) return std::unexpected(reply.error());
  auto ranges = parse_cluster_slots(*reply, node.host);
  if (!ranges) return std::unexpected(storage_error(link->address, ranges.error(), StoreErrorKind::refused));
  if (ranges->empty())
    return std::unexpected(storage_error(link->address, "the node serves no slots (is the cluster created?)"));
  return std::move(*ranges);
}

std::expected<void, StoreError> ClusterRouter::reread_map(Deadline deadline, bool even_if_recent) {
  const std::lock_guard lock(reread_mutex_);
  if (!even_if_recent && last_read_ && steady_clock::now() - *last_read_ < kRereadGap) {
    if (last_failure_) return std::unexpected(*last_failure_);
    return {};
  }
  // The nodes met so far, then the seeds: a seed may be gone for good.
  std::vector<Endpoint> candidates;
  {
    const std::lock_guard map_lock(map_mutex_);
    candidates = nodes_;
  }
  for (const auto& seed : cluster_.cluster_seeds)
    if (std::ranges::find(candidates, seed) == candidates.end()) candidates.push_back(seed);
  StoreError last{StoreErrorKind::storage, ""};
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const auto now = steady_clock::now();
    if (now >= deadline) break;
    // Half of what is left for each but the last, so that one node that
    // does not answer leaves time to ask the others.
    auto ranges = slots_from(candidates[i], i + 1 == candidates.size() ? deadline : now + (deadline - now) / 2);
    if (!ranges) {
      last = std::move(ranges.error());
      continue;
    }
    install(*ranges);
    last_read_ = steady_clock::now();
    last_failure_.reset();
    map_read_.store(true, std::memory_order_relaxed);
    return {};
  }
  last_read_ = steady_clock::now();
  if (last.message.empty()) last = storage_error(cluster_, "no node answered for the slot map in time");
  last_failure_ = last;
  return std::unexpected(std::move(last));
}

// `redirects` counts those since the last pause: a migrating slot may send a
// request back and forth (ASK, then TRYAGAIN at the target while a key it
// names is missing there) until the migration ends, but never without a pause.
ClusterRouter::Step ClusterRouter::after_failure(const StoreError& error, const ServerLink& tried, int& redirects) {
  const ClusterReply said = cluster_reply_in(error.message, tried.address.host);
  const bool redirected = said.kind == ClusterReply::Kind::moved || said.kind == ClusterReply::Kind::ask;
  if (!redirected) redirects = 0;
  switch (said.kind) {
    case ClusterReply::Kind::moved:
      if (++redirects > kMostRedirects) return {};
      learn(said.slot, said.node);
      return {Step::Kind::again};
    case ClusterReply::Kind::ask:
      if (++redirects > kMostRedirects) return {};
      return {Step::Kind::again, said.node};
    case ClusterReply::Kind::try_again:
      return {Step::Kind::later, std::nullopt, kTryAgainPause, false};
    case ClusterReply::Kind::down:
      return {Step::Kind::later, std::nullopt, kDownPause, true};
    case ClusterReply::Kind::other:
      break;
  }
  // A node that cannot be reached may have been replaced by its replica.
  if (error.kind == StoreErrorKind::storage) return {Step::Kind::later, std::nullopt, kLostNodePause, true};
  return {};
}

bool ClusterRouter::wait_out(const Step& step, Deadline deadline) {
  if (step.kind != Step::Kind::later) return step.kind == Step::Kind::again;
  if (steady_clock::now() + step.pause >= deadline) return false;
  executor::thread_sleep(step.pause);
  if (step.reread_map) (void)reread_map(deadline);
  return true;
}

ReplyOutcome ClusterRouter::run(std::uint16_t slot, const Command& command, std::chrono::milliseconds timeout,
                                bool fenced) {
  const Deadline deadline = steady_clock::now() + timeout;
  std::optional<Endpoint> ask;
  int redirects = 0;
  for (;;) {
    auto link = ask ? link_at(*ask) : mapped_link(slot);
    if (!link) {
      if (auto read = reread_map(deadline); !read) return std::unexpected(read.error());
      link = mapped_link(slot);
    }
    if (!link) return std::unexpected(unmapped(slot));
    auto reply = run_on(*link, command, ask.has_value(), deadline, fenced);
    if (reply) return reply;
    const Step step = after_failure(reply.error(), *link, redirects);
    if (!wait_out(step, deadline)) return reply;
    ask = step.ask;
  }
}

void ClusterRouter::submit(std::uint16_t slot, Command command, std::chrono::milliseconds timeout, bool ordered,
                           ReplyCallback done) {
  send(std::make_shared<Attempt>(
      Attempt{slot, std::move(command), steady_clock::now() + timeout, ordered, std::move(done)}));
}

void ClusterRouter::send(std::shared_ptr<Attempt> attempt) {
  auto link = attempt->ask ? link_at(*attempt->ask) : mapped_link(attempt->slot);
  if (!link) {
    const auto pause = map_read_.load(std::memory_order_relaxed) ? kLostNodePause : 0ms;
    const auto slot = attempt->slot;
    return later(std::move(attempt), {Step::Kind::later, std::nullopt, pause, true}, std::unexpected(unmapped(slot)));
  }
  const auto left = left_until(attempt->deadline);
  if (left <= 0ms)
    return finish(*attempt,
                  std::unexpected(storage_error(link->address, "no reply in time: redirected until the timeout")));
  Command command = attempt->command;
  command.asking = attempt->ask.has_value();
  if (attempt->ordered) {
    // Queued at the next node before the last one lets later calls by.
    link->fence.queued();
    if (attempt->fenced_at) attempt->fenced_at->fence.answered();
    attempt->fenced_at = link;
  }
  try {
    link->pipeline.submit(std::move(command), left, [self = shared_from_this(), attempt, link](ReplyOutcome reply) {
      self->answered(attempt, *link, std::move(reply));
    });
  } catch (...) {
    if (attempt->ordered) {
      attempt->fenced_at = nullptr;
      link->fence.answered();  // never queued: nothing may wait for it
    }
    throw;
  }
}

void ClusterRouter::resend(std::shared_ptr<Attempt> attempt) noexcept {
  try {
    send(attempt);
  } catch (...) {
    finish(*attempt, std::unexpected(storage_error(cluster_, "out of memory to send a request again")));
  }
}

void ClusterRouter::answered(std::shared_ptr<Attempt> attempt, const ServerLink& link, ReplyOutcome reply) {
  if (reply) return finish(*attempt, std::move(reply));
  const Step step = after_failure(reply.error(), link, attempt->redirects);
  attempt->ask = step.ask;
  if (step.kind == Step::Kind::again) return resend(std::move(attempt));
  later(std::move(attempt), step, std::move(reply));
}

void ClusterRouter::later(std::shared_ptr<Attempt> attempt, const Step& step, ReplyOutcome last) {
  const Deadline due = steady_clock::now() + step.pause;
  if (step.kind != Step::Kind::later || due >= attempt->deadline) return finish(*attempt, std::move(last));
  const bool reread = step.reread_map;
  auto kept = attempt;
  const bool queued = retries_.add(due, [self = shared_from_this(), attempt = std::move(attempt), reread] {
    if (reread) (void)self->reread_map(attempt->deadline);
    self->resend(attempt);
  });
  if (!queued) finish(*kept, std::move(last));
}

void ClusterRouter::finish(Attempt& attempt, ReplyOutcome outcome) {
  if (auto fenced = std::move(attempt.fenced_at)) fenced->fence.answered();
  attempt.done(std::move(outcome));
}

std::expected<std::vector<RedisAddress>, StoreError> ClusterRouter::masters(std::chrono::milliseconds timeout) {
  if (auto read = reread_map(steady_clock::now() + timeout, true); !read) return std::unexpected(read.error());
  std::vector<RedisAddress> serving;
  const std::lock_guard lock(map_mutex_);
  std::vector<bool> owns(nodes_.size());
  for (const auto owner : slot_owner_)
    if (owner != 0) owns[owner - 1u] = true;
  for (std::size_t i = 0; i < nodes_.size(); ++i)
    if (owns[i]) serving.push_back(node_address(nodes_[i]));
  return serving;
}

}  // namespace quellgate::redis_store
