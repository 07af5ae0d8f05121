#pragma once
#include <memory>
#include <string>

#include "redis_store/connection.hpp"

namespace quellgate::redis_store {

// The leases this process holds on one name, renewed by a background thread
// every lease/3 while any are held. The thread starts with the first lease
// and has a connection of its own, so renewals never wait behind callers.
class LeaseRenewer {
 public:
  LeaseRenewer(RedisAddress address, std::string leases_key, std::string config_key,
               std::chrono::milliseconds timeout, std::chrono::milliseconds lease);
  ~LeaseRenewer();  // stops the thread at its next wake
  LeaseRenewer(const LeaseRenewer&) = delete;
  LeaseRenewer& operator=(const LeaseRenewer&) = delete;

  void hold(std::string member);
  // Stops renewing it; false when it was not held.
  bool drop(const std::string& member);
  std::size_t held() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace quellgate::redis_store
