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
  ConnectionPool(RedisAddress address, std::chrono::milliseconds connect_timeout)
      : address_(std::move(address)), connect_timeout_(connect_timeout) {}

  // An idle connection that still looks alive, or a new one, which gets
  // connect_timeout of its own to connect and log in.
  std::expected<std::unique_ptr<Connection>, StoreError> take();
  // Keeps a working connection for the next call; a broken one is closed.
  void give_back(std::unique_ptr<Connection> connection);

 private:
  const RedisAddress address_;
  const std::chrono::milliseconds connect_timeout_;
  std::mutex mutex_;  // guards idle_; held only to move a pointer, never across I/O
  std::vector<std::unique_ptr<Connection>> idle_;
};

}  // namespace quellgate::redis_store
