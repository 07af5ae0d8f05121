#pragma once
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "redis_store/connection_pool.hpp"
#include "redis_store/pipeline.hpp"

namespace quellgate::redis_store {

// Pipelined releases (and settlements) a call on a connection of its own
// would overtake at the server: such a call first waits until those queued before it are
// answered. Each gets a ticket in queueing order; the pipeline answers in
// that order.
class ReleaseFence {
 public:
  void queued();
  void answered();
  // False when the deadline passed first.
  bool wait_for_earlier(Deadline deadline);

 private:
  std::mutex mutex_;  // guards the counts; never held across I/O (a wait releases it)
  std::condition_variable caught_up_;
  std::uint64_t queued_ = 0;
  std::uint64_t answered_ = 0;
};

// What the stores of one process share at one server (the same address,
// login and database): the blocking connections, the pipelined one with its
// I/O thread, and the fence. Shared, so that a release through one limiter
// object is ordered before the next call through another over the same
// name, whichever path each takes, and so that many limiters cost the
// server one pipelined connection and the pool's.
struct ServerLink {
  explicit ServerLink(const RedisAddress& where) : address(where), pool(where), pipeline(where) {}
  const RedisAddress address;
  ConnectionPool pool;
  Pipeline pipeline;
  ReleaseFence fence;
};

// Everything a connection depends on, as one text. Kept in memory only,
// never shown: it holds the password.
std::string link_key(const RedisAddress& address);

// The link of this process to the server; a forked child gets links of its
// own, as the parent's threads did not come along.
std::shared_ptr<ServerLink> link_to(const RedisAddress& address);

}  // namespace quellgate::redis_store
