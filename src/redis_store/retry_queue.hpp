#pragma once
#include <chrono>
#include <functional>
#include <memory>

#include "redis_store/connection.hpp"

namespace quellgate::redis_store {

// Work that is to run a little later, on a thread of its own, started with
// the first: pipelined requests sent again after a Cluster asked to wait or
// lost a node, so that no node's I/O thread ever waits for the pause, nor
// for the slot map read that may come with it.
class RetryQueue {
 public:
  RetryQueue();
  // Stops the thread at its next wake; work not yet run is dropped unrun.
  ~RetryQueue();
  RetryQueue(const RetryQueue&) = delete;
  RetryQueue& operator=(const RetryQueue&) = delete;

  // `work` must not throw. False when no thread could be started for it:
  // the caller gives the request up.
  bool add(Deadline due, std::function<void()> work);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace quellgate::redis_store
