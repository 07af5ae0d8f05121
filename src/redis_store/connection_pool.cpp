#include "redis_store/connection_pool.hpp"

namespace quellgate::redis_store {

namespace {
// More idle connections than threads that call at once buy nothing.
constexpr std::size_t kMostIdle = 16;
}  // namespace

std::expected<std::unique_ptr<Connection>, StoreError> ConnectionPool::take() {
  for (;;) {
    std::unique_ptr<Connection> candidate;
    {
      const std::lock_guard lock(mutex_);
      if (idle_.empty()) break;
      candidate = std::move(idle_.back());
      idle_.pop_back();
    }
    // A server restart shows as an end of file waiting on the idle socket:
    // caught here, it costs no call a failure.
    if (candidate->idle_and_healthy()) return candidate;
  }
  return Connection::open(address_, connect_timeout_);
}

void ConnectionPool::give_back(std::unique_ptr<Connection> connection) {
  if (connection->broken()) return;
  const std::lock_guard lock(mutex_);
  if (idle_.size() < kMostIdle) idle_.push_back(std::move(connection));
}

}  // namespace quellgate::redis_store
