#pragma once
#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "redis_store/shared_limits.hpp"
#include "redis_store/store_error.hpp"

namespace quellgate::redis_store {

struct StoreOptions {
  std::chrono::milliseconds timeout{1000};  // connecting, and each reply; at least 1 ms
  std::chrono::milliseconds lease{30000};   // how long a burst permit stays held unrenewed; at least 3 ms
};

// A held burst permit: its member in the name's set of leases.
struct Lease {
  std::string member;
};

struct Admitted {
  std::optional<Lease> lease;                 // engaged when the limiter has max_burst
  std::vector<std::uint64_t> window_indexes;  // per window: start / length, as the server counted it
  std::chrono::microseconds decided_at{0};    // the server's clock reading that admitted it
};

enum class Refusal { window_full, burst_full };

struct Refused {
  Refusal reason;
  // window_full: until the last full window rolls over, on the server's
  // clock; burst_full: until the first lease expires unless renewed.
  std::chrono::milliseconds retry_after;
  std::vector<std::uint64_t> window_indexes;  // window_full only
};

using Decision = std::variant<Admitted, Refused>;

// What a decision would see now, read without counting anything.
struct StoreReport {
  struct Window {
    std::uint64_t count = 0;                 // in the current window
    std::chrono::milliseconds until_rollover{0};
  };
  std::vector<Window> windows;  // in the order of SharedLimits::windows
  std::uint64_t leases_live = 0;
};
using ReportOutcome = std::expected<StoreReport, StoreError>;
using ReportCallback = std::function<void(ReportOutcome)>;
using DecisionOutcome = std::expected<Decision, StoreError>;
using DecisionCallback = std::function<void(DecisionOutcome)>;
using DoneOutcome = std::expected<void, StoreError>;
using DoneCallback = std::function<void(DoneOutcome)>;

// One shared limiter's counts on a Redis server, or one key's of it. Each
// decision is one script run on the server: all windows and the burst cap
// are checked on the server's clock before anything is written. Thread-safe. The stores of a
// process at one server (same address, login and database) share its
// connections and its I/O thread. A forked child opens connections and
// threads of its own on first use; the leases its parent holds stay the
// parent's.
class RedisStore {
 public:
  virtual ~RedisStore() = default;

  // Blocks for at most the timeout (the caller has released the GIL). A
  // decision whose reply was lost (a timeout after the script ran) may have
  // counted: its windows keep the count, and its lease, never renewed, is
  // removed by the next decision of this process that the server answers
  // (or expires within the lease time).
  // `cost` places are counted in every window, all or nothing.
  virtual DecisionOutcome decide(std::uint64_t cost = 1) = 0;
  // Pipelined through the I/O thread; `done` runs on that thread and must
  // not throw. It always runs, with a StorageError if need be, except in a
  // forked child for requests its parent had queued.
  virtual void decide_async(DecisionCallback done, std::uint64_t cost = 1) = 0;

  // Gives a permit back, and returns once the server has answered or the
  // timeout has passed. Its lease is no longer renewed either way; one whose
  // removal the server did not confirm goes as a lost decision's does.
  virtual DoneOutcome release(const Lease& lease) = 0;
  // Pipelined. Every call of this process that starts after it returns, on
  // any path, reaches the server after it, so no later decision is refused
  // for a permit already given back. finish_releases() waits for it.
  virtual void release_async(Lease lease, DoneCallback done) = 0;

  // Adds `delta` to each window an admission at `decided_at`
  // (Admitted::decided_at) was counted in and that is still current on the
  // server's clock, without refusal; a negative one takes away, never below
  // 0. One script run, all or nothing. Pipelined and ordered as
  // release_async, and waited for by finish_releases() as well.
  virtual void settle_async(std::chrono::microseconds decided_at, std::int64_t delta, DoneCallback done) = 0;

  // The store of one key of this name: its own windows and leases under
  // key names with a hash tag of their own, the same configuration, and this
  // store's link to the server. Cheap: nothing is written until it decides.
  // Null for a key's own store.
  virtual std::unique_ptr<RedisStore> for_key(std::string_view key) = 0;

  // Blocks for at most the timeout, as decide(); writes nothing.
  virtual ReportOutcome report() = 0;
  // report() pipelined, as decide_async.
  virtual void report_async(ReportCallback done) = 0;

  // Connects and compares the configuration stored under the name, if any,
  // with this one: a mismatch is a config error naming both.
  virtual DoneOutcome verify() = 0;

  // Leases this process holds and renews in the background.
  virtual std::size_t leases_held() const = 0;
  // The server, as messages name it (no credentials).
  virtual std::string address() const = 0;
};

// Checks the URL, the name and the limits; connects lazily. Without Redis
// support in this build, fails (after the URL check) with an `unavailable`
// error saying how to get a build with it.
std::expected<std::unique_ptr<RedisStore>, StoreError> open_redis_store(std::string_view url, std::string_view name,
                                                                        const SharedLimits& limits,
                                                                        const StoreOptions& options);

// Waits until every release_async of this process has been answered, or
// until the last one's timeout has passed; for a clean exit, whose end kills
// the threads that would send them.
void finish_releases() noexcept;

// Deletes every key of a name, its keys' counts included. Stores still open
// on it start afresh.
DoneOutcome remove_redis_name(std::string_view url, std::string_view name, const StoreOptions& options);

}  // namespace quellgate::redis_store
