#include "redis_store/connection_pool.hpp"

namespace quellgate::redis_store {

namespace {
// A connection unused this long is not needed by the threads that call now.
// Taken from the end most recently given back, so the ones at the front are
// those that fewer threads than before have left idle.
constexpr std::chrono::seconds kIdleLife{10};
}  // namespace

std::expected<std::unique_ptr<Connection>, StoreError> ConnectionPool::take(std::chrono::milliseconds connect_timeout) {
  for (;;) {
    std::unique_ptr<Connection> candidate;
    {
      const std::lock_guard lock(mutex_);
      if (idle_.empty()) break;
      candidate = std::move(idle_.back().connection);
      idle_.pop_back();
    }
    // A server restart shows as an end of file waiting on the idle socket:
    // caught here, it costs no call a failure.
    if (candidate->idle_and_healthy()) return candidate;
  }
  return Connection::open(address_, connect_timeout);
}

void ConnectionPool::give_back(std::unique_ptr<Connection> connection) {
  std::vector<Idle> unused;  // closed once the lock is given up
  if (connection->role_lost()) {
    // The idle ones still look healthy, but reach the same replica: each
    // would cost a call its failure.
    const std::lock_guard lock(mutex_);
    unused.swap(idle_);
    return;
  }
  if (connection->broken()) return;
  const auto now = std::chrono::steady_clock::now();
  const std::lock_guard lock(mutex_);
  std::size_t stale = 0;
  while (stale < idle_.size() && now - idle_[stale].since > kIdleLife) ++stale;
  if (stale > 0) {
    unused.assign(std::make_move_iterator(idle_.begin()), std::make_move_iterator(idle_.begin() + static_cast<std::ptrdiff_t>(stale)));
    idle_.erase(idle_.begin(), idle_.begin() + static_cast<std::ptrdiff_t>(stale));
  }
  idle_.push_back(Idle{std::move(connection), now});
}

}  // namespace quellgate::redis_store
