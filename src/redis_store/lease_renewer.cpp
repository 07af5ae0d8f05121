#include "redis_store/lease_renewer.hpp"

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "executor/clock.hpp"
#include "executor/monotonic_condition.hpp"
#include "executor/os_thread.hpp"

namespace quellgate::redis_store {

namespace {
constexpr std::size_t kRenewerStack = 128 * 1024;
// Members per command, so that one run stays short on the server.
constexpr std::size_t kMembersPerRenewal = 256;

bool within(Deadline deadline) { return std::chrono::steady_clock::now() < deadline; }

std::chrono::milliseconds left_until(Deadline deadline) {
  return std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
}

struct PlacedMember {
  std::string member;
  LeasePlacePtr place;
};

// Calls `each(place, members)` once per set of leases and up to
// kMembersPerRenewal members: a command touches one place only, as a
// Cluster may keep each in a slot of its own.
template <class Each>
void by_place(std::vector<PlacedMember>& members, Each each) {
  std::ranges::sort(members, {}, [](const PlacedMember& m) -> const std::string& { return m.place->leases; });
  for (auto first = members.begin(); first != members.end();) {
    std::vector<std::string> batch;
    auto last = first;
    for (; last != members.end() && last->place->leases == first->place->leases && batch.size() < kMembersPerRenewal;
         ++last)
      batch.push_back(last->member);
    each(first->place, std::move(batch));
    first = last;
  }
}
}  // namespace

struct LeaseRenewer::State : std::enable_shared_from_this<LeaseRenewer::State> {
  State(std::shared_ptr<Router> routes, std::chrono::milliseconds limit, std::chrono::milliseconds lease_time)
      : router(std::move(routes)), timeout(limit), lease(lease_time) {}

  const std::shared_ptr<Router> router;
  const std::chrono::milliseconds timeout;
  const std::chrono::milliseconds lease;

  mutable std::mutex mutex;  // guards the five below; never held across I/O (a wait releases it)
  executor::MonotonicCondition wake;
  std::unordered_map<std::string, LeasePlacePtr> held;  // by member
  std::vector<PlacedMember> unconfirmed;
  bool started = false;
  bool stopping = false;

  void start_thread_once(std::unique_lock<std::mutex>& lock);
  void run_loop();
  void renew(std::vector<PlacedMember> members);
  void remove_unconfirmed(Deadline deadline);
};

// Each command within what is left of the tick's timeout, so that a tick
// with many sets of leases at a server that no longer answers ends in time.
void LeaseRenewer::State::remove_unconfirmed(Deadline deadline) {
  std::vector<PlacedMember> members;
  {
    const std::lock_guard lock(mutex);
    members.swap(unconfirmed);
  }
  if (members.empty()) return;
  std::vector<PlacedMember> unremoved;
  by_place(members, [&](const LeasePlacePtr& place, std::vector<std::string> batch) {
    Command command{std::nullopt, {"ZREM", place->leases}};
    command.args.insert(command.args.end(), batch.begin(), batch.end());
    if (within(deadline) && router->run(place->slot, command, left_until(deadline), false)) return;
    for (auto& member : batch) unremoved.push_back({std::move(member), place});
  });
  if (unremoved.empty()) return;
  const std::lock_guard lock(mutex);
  unconfirmed.insert(unconfirmed.end(), std::make_move_iterator(unremoved.begin()),
                     std::make_move_iterator(unremoved.end()));
}

// Unrenewed leases are tried again at the next tick; the lease time is the
// safety net.
void LeaseRenewer::State::renew(std::vector<PlacedMember> members) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  remove_unconfirmed(deadline);
  by_place(members, [&](const LeasePlacePtr& place, std::vector<std::string> batch) {
    if (!within(deadline)) return;
    Command command{ScriptId::renew, {"2", place->leases, place->config, std::to_string(lease.count())}};
    command.args.insert(command.args.end(), std::make_move_iterator(batch.begin()),
                        std::make_move_iterator(batch.end()));
    (void)router->run(place->slot, command, left_until(deadline), false);
  });
}

void LeaseRenewer::State::run_loop() {
  std::unique_lock lock(mutex);
  while (!stopping) {
    const auto next = executor::monotonic_now() + lease / 3;
    while (!stopping && executor::monotonic_now() < next) wake.wait_until(lock, next);
    if (stopping || (held.empty() && unconfirmed.empty())) continue;
    std::vector<PlacedMember> members;
    members.reserve(held.size());
    for (const auto& [member, place] : held) members.push_back({member, place});
    lock.unlock();
    renew(std::move(members));
    lock.lock();
  }
}

LeaseRenewer::LeaseRenewer(std::shared_ptr<Router> router, std::chrono::milliseconds timeout,
                           std::chrono::milliseconds lease)
    : state_(std::make_shared<State>(std::move(router), timeout, lease)) {}

LeaseRenewer::~LeaseRenewer() {
  const std::lock_guard lock(state_->mutex);
  state_->stopping = true;
  state_->wake.notify_all();
}

// Lock held on entry and on return.
void LeaseRenewer::State::start_thread_once(std::unique_lock<std::mutex>& lock) {
  if (started) return;
  started = true;
  lock.unlock();
  auto thread = executor::start_os_thread("quellgate-lease", kRenewerStack,
                                          [state = shared_from_this()] { state->run_loop(); });
  lock.lock();
  // Unrenewed, the leases expire after the lease time while still held,
  // which lets others past the cap early; no permit is lost for good. The
  // next call tries to start the thread again.
  if (!thread) started = false;
}

void LeaseRenewer::hold(std::string member, LeasePlacePtr place) {
  std::unique_lock lock(state_->mutex);
  state_->held.insert_or_assign(std::move(member), std::move(place));
  state_->start_thread_once(lock);
}

void LeaseRenewer::unconfirmed(std::vector<std::string> members, const LeasePlacePtr& place) {
  if (members.empty()) return;
  std::unique_lock lock(state_->mutex);
  for (auto& member : members) state_->unconfirmed.push_back({std::move(member), place});
  state_->start_thread_once(lock);
}

std::vector<std::string> LeaseRenewer::take_unconfirmed(const LeasePlace& place, std::size_t most) {
  std::vector<std::string> taken;
  const std::lock_guard lock(state_->mutex);
  // Usually empty: only calls whose answer never came leave members here.
  auto& all = state_->unconfirmed;
  for (std::size_t i = all.size(); i-- > 0 && taken.size() < most;) {
    if (all[i].place->leases != place.leases) continue;
    taken.push_back(std::move(all[i].member));
    all.erase(all.begin() + static_cast<std::ptrdiff_t>(i));
  }
  return taken;
}

bool LeaseRenewer::drop(const std::string& member) {
  const std::lock_guard lock(state_->mutex);
  return state_->held.erase(member) != 0;
}

std::size_t LeaseRenewer::held() const {
  const std::lock_guard lock(state_->mutex);
  return state_->held.size();
}

}  // namespace quellgate::redis_store
