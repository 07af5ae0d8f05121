#include "redis_store/router.hpp"

#include <unistd.h>

#include <map>
#include <mutex>

#include "redis_store/cluster_router.hpp"
#include "redis_store/fork_guard.hpp"
#include "redis_store/server_link.hpp"

namespace quellgate::redis_store {

namespace {

class SingleServerRouter final : public Router {
 public:
  explicit SingleServerRouter(const RedisAddress& address) : link_(link_to(address)) {}

  ReplyOutcome run(std::uint16_t, const Command& command, std::chrono::milliseconds timeout, bool fenced) override {
    if (fenced && !link_->fence.wait_for_earlier(std::chrono::steady_clock::now() + timeout))
      return std::unexpected(storage_error(
          link_->address, "no reply in time: a release or settlement sent before this call is unanswered"));
    auto connection = link_->pool.take(timeout);
    if (!connection) return std::unexpected(connection.error());
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto reply = (*connection)->run_one(command, deadline);
    link_->pool.give_back(std::move(*connection));
    return reply;
  }

  void submit(std::uint16_t, Command command, std::chrono::milliseconds timeout, bool ordered,
              ReplyCallback done) override {
    if (!ordered) return link_->pipeline.submit(std::move(command), timeout, std::move(done));
    link_->fence.queued();
    try {
      link_->pipeline.submit(std::move(command), timeout, [link = link_, done = std::move(done)](ReplyOutcome reply) {
        link->fence.answered();
        done(std::move(reply));
      });
    } catch (...) {
      link_->fence.answered();  // never queued: nothing may wait for it
      throw;
    }
  }

  std::expected<std::vector<RedisAddress>, StoreError> masters(std::chrono::milliseconds) override {
    return std::vector<RedisAddress>{link_->address};
  }

 private:
  const std::shared_ptr<ServerLink> link_;
};

struct Routers {
  std::mutex mutex;  // guards the two below; never held across I/O; held across fork() by the guard
  pid_t pid = getpid();
  std::map<std::string, std::weak_ptr<Router>> routers;  // by link_key
  ForkGuard fork_guard{mutex};
};

}  // namespace

// The router of this process for the address, made once and shared while
// any store uses it; a forked child makes its own.
std::shared_ptr<Router> router_to(const RedisAddress& address) {
  static auto* all = new Routers;  // never destroyed, as the links
  const std::string key = link_key(address);
  const auto current = [&]() -> std::shared_ptr<Router> {
    if (all->pid != getpid()) {
      all->pid = getpid();
      all->routers.clear();
    }
    return all->routers[key].lock();
  };
  {
    const std::lock_guard lock(all->mutex);
    if (auto router = current()) return router;
  }
  // Made without the lock: a router takes the links' lock, and the first
  // link registers its fork guard, whose registry a fork takes before this
  // lock. Two threads may both make one; the first kept serves both.
  std::shared_ptr<Router> made;
  if (address.is_cluster())
    made = std::make_shared<ClusterRouter>(address);
  else
    made = std::make_shared<SingleServerRouter>(address);
  const std::lock_guard lock(all->mutex);
  if (auto router = current()) return router;
  std::erase_if(all->routers, [](const auto& entry) { return entry.second.expired(); });
  all->routers[key] = made;
  return made;
}

}  // namespace quellgate::redis_store
