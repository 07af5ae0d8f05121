#include "redis_store/lease_renewer.hpp"

#include <algorithm>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "executor/clock.hpp"
#include "executor/monotonic_condition.hpp"
#include "executor/os_thread.hpp"

namespace quellgate::redis_store {

namespace {
constexpr std::size_t kRenewerStack = 128 * 1024;
// Members per script run, so that one run stays short on the server.
constexpr std::size_t kMembersPerRenewal = 256;
}  // namespace

struct LeaseRenewer::State : std::enable_shared_from_this<LeaseRenewer::State> {
  State(RedisAddress where, std::string leases, std::string config, std::chrono::milliseconds limit,
        std::chrono::milliseconds lease_time)
      : address(std::move(where)), leases_key(std::move(leases)), config_key(std::move(config)),
        timeout(limit), lease(lease_time) {}

  const RedisAddress address;
  const std::string leases_key;
  const std::string config_key;
  const std::chrono::milliseconds timeout;
  const std::chrono::milliseconds lease;

  mutable std::mutex mutex;  // guards the five below; never held across I/O (a wait releases it)
  executor::MonotonicCondition wake;
  std::unordered_set<std::string> held;
  std::vector<std::string> unconfirmed;
  bool started = false;
  bool stopping = false;

  std::unique_ptr<Connection> connection;  // the renewal thread's own

  void start_thread_once(std::unique_lock<std::mutex>& lock);
  void run_loop();
  void renew(const std::vector<std::string>& members);
  void remove_unconfirmed(Deadline deadline);
};

void LeaseRenewer::State::remove_unconfirmed(Deadline deadline) {
  std::vector<std::string> members;
  {
    const std::lock_guard lock(mutex);
    members.swap(unconfirmed);
  }
  if (members.empty() || !connection) return;
  Command command{std::nullopt, {"ZREM", leases_key}};
  command.args.insert(command.args.end(), members.begin(), members.end());
  if (connection->run_one(command, deadline)) return;
  if (connection->broken()) connection.reset();
  const std::lock_guard lock(mutex);
  unconfirmed.insert(unconfirmed.end(), std::make_move_iterator(members.begin()), std::make_move_iterator(members.end()));
}

void LeaseRenewer::State::renew(const std::vector<std::string>& members) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  if (connection && !connection->idle_and_healthy()) connection.reset();
  if (!connection) {
    auto opened = Connection::open(address, deadline);
    if (!opened) return;  // tried again at the next tick; the lease time is the safety net
    connection = std::move(*opened);
  }
  remove_unconfirmed(deadline);
  for (std::size_t first = 0; connection && first < members.size(); first += kMembersPerRenewal) {
    Command command{ScriptId::renew, {"2", leases_key, config_key, std::to_string(lease.count())}};
    const auto last = std::min(members.size(), first + kMembersPerRenewal);
    command.args.insert(command.args.end(), members.begin() + static_cast<std::ptrdiff_t>(first),
                        members.begin() + static_cast<std::ptrdiff_t>(last));
    (void)connection->run_one(command, deadline);
    if (connection->broken()) {
      connection.reset();
      return;
    }
  }
}

void LeaseRenewer::State::run_loop() {
  std::unique_lock lock(mutex);
  while (!stopping) {
    const auto next = executor::monotonic_now() + lease / 3;
    while (!stopping && executor::monotonic_now() < next) wake.wait_until(lock, next);
    if (stopping || (held.empty() && unconfirmed.empty())) continue;
    std::vector<std::string> members(held.begin(), held.end());
    lock.unlock();
    renew(members);
    lock.lock();
  }
}

LeaseRenewer::LeaseRenewer(RedisAddress address, std::string leases_key, std::string config_key,
                           std::chrono::milliseconds timeout, std::chrono::milliseconds lease)
    : state_(std::make_shared<State>(std::move(address), std::move(leases_key), std::move(config_key), timeout,
                                     lease)) {}

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

void LeaseRenewer::hold(std::string member) {
  std::unique_lock lock(state_->mutex);
  state_->held.insert(std::move(member));
  state_->start_thread_once(lock);
}

void LeaseRenewer::unconfirmed(std::vector<std::string> members) {
  if (members.empty()) return;
  std::unique_lock lock(state_->mutex);
  for (auto& member : members) state_->unconfirmed.push_back(std::move(member));
  state_->start_thread_once(lock);
}

std::vector<std::string> LeaseRenewer::take_unconfirmed(std::size_t most) {
  const std::lock_guard lock(state_->mutex);
  auto& all = state_->unconfirmed;
  const auto count = static_cast<std::ptrdiff_t>(std::min(all.size(), most));
  std::vector<std::string> taken(std::make_move_iterator(all.end() - count), std::make_move_iterator(all.end()));
  all.erase(all.end() - count, all.end());
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
