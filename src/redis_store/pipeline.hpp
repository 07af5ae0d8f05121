#pragma once
#include <chrono>
#include <functional>
#include <memory>

#include "redis_store/connection.hpp"

namespace quellgate::redis_store {

// Runs on the I/O thread with the command's reply or failure. Must not throw
// and should return quickly: the next batch waits for it.
using ReplyCallback = std::function<void(ReplyOutcome)>;

// One connection driven by one I/O thread, for callers that must not block
// (asyncio). Whatever callers queue while a batch is out goes out together in
// the next write, so many concurrent requests cost one round trip per batch
// rather than one each. The thread starts with the first request.
class Pipeline {
 public:
  explicit Pipeline(RedisAddress address);
  // Stops the I/O thread after its current batch; requests it has not sent
  // fail. Callbacks already running finish on that thread.
  ~Pipeline();
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  // Each request gets its store's timeout from the moment it is queued: a
  // request still unanswered then fails, whatever held it up.
  void submit(Command command, std::chrono::milliseconds timeout, ReplyCallback done);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace quellgate::redis_store
