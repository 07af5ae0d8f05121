#pragma once
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "redis_store/connection.hpp"

namespace quellgate::redis_store {

// Blocking connections for threads: each call takes one for itself, so
// threads wait on the server side by side rather than on each other. Every
// connection given back is kept while it is in use now and then, however
// many threads call at once: closing one that the next call opens again
// costs the server a connection and the host a socket in TIME_WAIT for
// nothing. Only those left idle for a while are closed.
class ConnectionPool {
 public:
  explicit ConnectionPool(RedisAddress address) : address_(std::move(address)) {}

  // An idle connection that still looks alive, or a new one.
  std::expected<std::unique_ptr<Connection>, StoreError> take(Deadline deadline);
  // Keeps a working connection for the next call; a broken one is closed.
  void give_back(std::unique_ptr<Connection> connection);

 private:
  struct Idle {
    std::unique_ptr<Connection> connection;
    Deadline since;
  };

  const RedisAddress address_;
  std::mutex mutex_;  // guards idle_; held only to move pointers, never across I/O (closing included)
  std::vector<Idle> idle_;  // the most recently given back last
};

}  // namespace quellgate::redis_store
