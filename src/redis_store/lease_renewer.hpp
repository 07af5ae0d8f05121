#pragma once
#include <memory>
#include <string>
#include <vector>

#include "redis_store/router.hpp"

namespace quellgate::redis_store {

// Where leases live: the set of leases of a name, or of one of its keys,
// and the configuration beside it, which a renewal keeps alive with them.
struct LeasePlace {
  std::string leases;
  std::string config;
  std::uint16_t slot = 0;  // both keys', which share a hash tag
};
using LeasePlacePtr = std::shared_ptr<const LeasePlace>;

// The leases this process holds on one name and its keys, renewed by a
// background thread every lease/3 while any are held; and those it may have
// left at the server unheld (minted or released by calls whose answer never
// came), which the same thread removes at its next tick that the server
// answers, unless a decision took them first. The thread starts with the
// first lease and takes a connection of its own for each command through the
// router, so renewals never wait behind callers, and each set of leases is
// renewed at the node holding it. Members are unique across places (the
// store mints them).
class LeaseRenewer {
 public:
  LeaseRenewer(std::shared_ptr<Router> router, std::chrono::milliseconds timeout, std::chrono::milliseconds lease);
  ~LeaseRenewer();  // stops the thread at its next wake
  LeaseRenewer(const LeaseRenewer&) = delete;
  LeaseRenewer& operator=(const LeaseRenewer&) = delete;

  void hold(std::string member, LeasePlacePtr place);
  // Stops renewing it; false when it was not held.
  bool drop(const std::string& member);
  std::size_t held() const;

  // Members that may be at the server with no holder, to be removed.
  void unconfirmed(std::vector<std::string> members, const LeasePlacePtr& place);
  // Up to `most` of those in `place`, for a decision to remove in its own
  // script run; given back with unconfirmed() if it fails.
  std::vector<std::string> take_unconfirmed(const LeasePlace& place, std::size_t most);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace quellgate::redis_store
