#pragma once
#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <vector>

#include "redis_store/pipeline.hpp"

namespace quellgate::redis_store {

// Where a store's commands go: to its one server, or to the node of a
// Cluster that holds the store's slot, following the Cluster's redirects.
// What a redirect or a lost node asks of a request is decided here and
// nowhere else. The stores of a process at one deployment share its router.
class Router {
 public:
  virtual ~Router() = default;

  // On a connection of the caller's own, within the timeout; a new
  // connection to one server has the timeout of its own to connect. A
  // fenced call first waits for the releases and settlements that this
  // process pipelined to the same server before it.
  virtual ReplyOutcome run(std::uint16_t slot, const Command& command, std::chrono::milliseconds timeout,
                           bool fenced) = 0;
  // Pipelined; `done` runs on an I/O thread, as Pipeline's. An ordered
  // request holds back the fenced calls that start after this returns until
  // it is answered.
  virtual void submit(std::uint16_t slot, Command command, std::chrono::milliseconds timeout, bool ordered,
                      ReplyCallback done) = 0;
  // Every server that may hold keys: the one server, or each master of
  // the Cluster as it answers now.
  virtual std::expected<std::vector<RedisAddress>, StoreError> masters(std::chrono::milliseconds timeout) = 0;
};

// The router of this process to the deployment at `address`; a forked
// child gets its own, as for links.
std::shared_ptr<Router> router_to(const RedisAddress& address);

}  // namespace quellgate::redis_store
