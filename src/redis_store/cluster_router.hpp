#pragma once
#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

#include "redis_store/cluster_slots.hpp"
#include "redis_store/retry_queue.hpp"
#include "redis_store/router.hpp"
#include "redis_store/server_link.hpp"

namespace quellgate::redis_store {

// The routes of this process into one Redis Cluster: the slot map, read
// from the seed nodes and then from any node that answers, and a link per
// node. A request goes to its slot's master and follows what the Cluster
// says: MOVED updates the map and goes again; ASK goes once to the node
// named, after ASKING on the same connection; TRYAGAIN (a script whose keys
// are split by a slot migration), CLUSTERDOWN and a lost node go again
// after a pause, the last two after reading the map afresh, all within the
// request's timeout. The fence holds per node: an ordered request keeps its
// ticket at one node until it is queued at the next.
class ClusterRouter final : public Router, public std::enable_shared_from_this<ClusterRouter> {
 public:
  explicit ClusterRouter(RedisAddress cluster) : cluster_(std::move(cluster)) {}

  ReplyOutcome run(std::uint16_t slot, const Command& command, std::chrono::milliseconds timeout,
                   bool fenced) override;
  void submit(std::uint16_t slot, Command command, std::chrono::milliseconds timeout, bool ordered,
              ReplyCallback done) override;
  std::expected<std::vector<RedisAddress>, StoreError> masters(std::chrono::milliseconds timeout) override;

  struct Attempt;

 private:
  // What a failed try leads to.
  struct Step {
    enum class Kind { give_up, again, later } kind = Kind::give_up;
    std::optional<Endpoint> ask{};  // again: once, to this node
    std::chrono::milliseconds pause{0};
    bool reread_map = false;
  };

  Step after_failure(const StoreError& error, const ServerLink& tried, int& redirects);
  // The blocking side of a step: its pause, then its map read. False to give up.
  bool wait_out(const Step& step, Deadline deadline);
  std::shared_ptr<ServerLink> link_at(const Endpoint& node);
  std::shared_ptr<ServerLink> mapped_link(std::uint16_t slot);
  void learn(std::uint16_t slot, const Endpoint& node);
  // Reads the map from the first node that answers, unless another caller
  // read it a moment ago; the last node's error when none answered in time.
  std::expected<void, StoreError> reread_map(Deadline deadline, bool even_if_recent = false);
  std::expected<std::vector<SlotRange>, StoreError> slots_from(const Endpoint& node, Deadline deadline);
  void install(const std::vector<SlotRange>& ranges);
  RedisAddress node_address(const Endpoint& node) const;
  StoreError unmapped(std::uint16_t slot) const;

  // The pipelined side: never blocks, as it runs on an I/O thread or the
  // caller's, which may hold the GIL; a pause or a map read goes to retries_.
  void send(std::shared_ptr<Attempt> attempt);
  void resend(std::shared_ptr<Attempt> attempt) noexcept;
  void answered(std::shared_ptr<Attempt> attempt, const ServerLink& link, ReplyOutcome reply);
  void later(std::shared_ptr<Attempt> attempt, const Step& step, ReplyOutcome last);
  void finish(Attempt& attempt, ReplyOutcome outcome);

  const RedisAddress cluster_;

  // Guards the three below; held only to read or change them, never across
  // I/O nor while a link is made.
  mutable std::mutex map_mutex_;
  std::vector<Endpoint> nodes_;                              // every node met so far
  std::vector<std::shared_ptr<ServerLink>> links_;           // by node index
  std::array<std::uint16_t, kClusterSlots> slot_owner_{};    // node index + 1; 0 for a slot no node serves

  // One map read at a time; held across its I/O, which is bounded by the
  // caller's deadline (never across the GIL: callers have released it).
  std::mutex reread_mutex_;
  std::optional<Deadline> last_read_;       // guarded by reread_mutex_
  std::optional<StoreError> last_failure_;  // of that read, if no node answered; guarded by reread_mutex_
  // Whether a map was ever read: only chooses how long an unmapped request
  // pauses, so it orders nothing (relaxed).
  std::atomic<bool> map_read_{false};

  RetryQueue retries_;
};

}  // namespace quellgate::redis_store
