#include "redis_store/server_link.hpp"

#include <unistd.h>

#include <map>

#include "redis_store/fork_guard.hpp"

namespace quellgate::redis_store {

namespace {

struct ServerLinks {
  std::mutex mutex;  // guards the two below; never held across I/O; held across fork() by the guard
  pid_t pid = getpid();
  std::map<std::string, std::weak_ptr<ServerLink>> links;  // by link_key
  ForkGuard fork_guard{mutex};
};

}  // namespace

void ReleaseFence::queued() {
  const std::lock_guard lock(mutex_);
  ++queued_;
}

void ReleaseFence::answered() {
  {
    const std::lock_guard lock(mutex_);
    ++answered_;
  }
  caught_up_.notify_all();
}

bool ReleaseFence::wait_for_earlier(Deadline deadline) {
  std::unique_lock lock(mutex_);
  const std::uint64_t ticket = queued_;
  return caught_up_.wait_until(lock, deadline, [&] { return answered_ >= ticket; });
}

std::string link_key(const RedisAddress& address) {
  std::string key;
  for (const std::string& part : {address.host, std::to_string(address.port), address.socket_path,
                                  std::to_string(address.db), address.user, address.password, address.tls_identity(),
                                  address.sentinel ? address.sentinel->identity() : std::string()}) {
    key += std::to_string(part.size()) + ":" + part;
  }
  for (const auto& seed : address.cluster_seeds) key += "|" + seed.host + ":" + std::to_string(seed.port);
  return key;
}

std::shared_ptr<ServerLink> link_to(const RedisAddress& address) {
  static auto* all = new ServerLinks;  // never destroyed: an exit may come after static destruction has begun
  const std::string key = link_key(address);
  const std::lock_guard lock(all->mutex);
  if (all->pid != getpid()) {
    all->pid = getpid();
    all->links.clear();
  }
  if (auto link = all->links[key].lock()) return link;
  std::erase_if(all->links, [](const auto& entry) { return entry.second.expired(); });
  auto link = std::make_shared<ServerLink>(address);
  all->links[key] = link;
  return link;
}

}  // namespace quellgate::redis_store
