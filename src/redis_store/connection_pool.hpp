#pragma once
#include <memory>
#include <mutex>
#include <vector>

#include "redis_store/connection.hpp"

namespace quellgate::redis_store {

// Blocking connections for threads: each call takes one for itself, so
// threads wait on the server side by side rather than on each other.
class ConnectionPool {
 public:
  explicit ConnectionPool(RedisAddress address) : address_(std::move(address)) {}

  // An idle connection that still looks alive, or a new one.
  std::expected<std::unique_ptr<Connection>, StoreError> take(Deadline deadline);
  // Keeps a working connection for the next call; a broken one is closed.
  void give_back(std::unique_ptr<Connection> connection);

 private:
  const RedisAddress address_;
  std::mutex mutex_;  // guards idle_; held only to move a pointer, never across I/O
  std::vector<std::unique_ptr<Connection>> idle_;
};

}  // namespace quellgate::redis_store
