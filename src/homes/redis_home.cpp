#include "homes/redis_home.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/count_home.hpp"
#include "executor/wake_signal.hpp"
#include "redis_store/fork_guard.hpp"
#include "redis_store/redis_store.hpp"

namespace quellgate::homes {
namespace {

using std::chrono::nanoseconds;
using engine::HomeFailure;
namespace store = redis_store;

HomeFailure failure_of(const store::StoreError& error) {
  return {error.kind == store::StoreErrorKind::config ? HomeFailure::Kind::invalid : HomeFailure::Kind::storage,
          error.message};
}

HomeError home_error_of(store::StoreError error) {
  switch (error.kind) {
    case store::StoreErrorKind::config:
      return {HomeError::Kind::invalid, 0, std::move(error.message)};
    case store::StoreErrorKind::storage:
    case store::StoreErrorKind::refused:
    case store::StoreErrorKind::interrupted:
      return {HomeError::Kind::storage, 0, std::move(error.message)};
    case store::StoreErrorKind::unavailable:
      break;
  }
  return {HomeError::Kind::unavailable, 0, std::move(error.message)};
}

// What the report being made on this thread reads: one answer of the
// server, asked for by its first question (read_windows, burst_remaining,
// window_wait) or read ahead by a job, and used by every other question of
// the same report, so that a report is one bounded exchange however many
// questions it asks. Dropped, and its failure taken, by take_report_failure,
// which ends every report. Per thread, because a report is made on one
// thread; plain pointers, so the module's static TLS stays small.
struct ThisReport {
  const void* home = nullptr;
  store::ReportOutcome* reading = nullptr;  // owned; set only with home
};
thread_local ThisReport this_report;

engine::CountHome::Attempt attempt_with(void (*set)(engine::CountHome::Attempt&)) {
  engine::CountHome::Attempt attempt;
  set(attempt);
  return attempt;
}

class KeyHomes;

// A CountHome over a RedisStore. Every decision is one script run on the
// server; the burst permits this process holds are its leases there.
class RedisHome final : public engine::CountHome {
 public:
  RedisHome(std::unique_ptr<store::RedisStore> store, std::optional<std::uint64_t> max_burst,
            bool admit_when_unreachable, std::vector<std::uint64_t> window_limits, bool keeps_keys);
  ~RedisHome() override;

  bool decides_at_once() const noexcept override { return false; }

  Attempt admit(nanoseconds, bool take_permit, std::uint64_t cost) override {
    return attempt_from(store_->decide(cost), take_permit);
  }

  // The callback holds what keeps this home alive (the caller's core).
  void admit_async(nanoseconds, bool take_permit, std::uint64_t cost, AttemptCallback done) override {
    store_->decide_async(
        [this, take_permit, done = std::move(done)](store::DecisionOutcome outcome) {
          done(attempt_from(std::move(outcome), take_permit));
        },
        cost);
  }

  // Pipelined, and ordered before every later call of this process by the
  // store, as a release is. A settlement the server never gets is lost: the
  // windows keep the reserved cost until they roll over.
  void settle(nanoseconds decided_at, std::int64_t delta) noexcept override {
    try {
      if (settles(decided_at, delta)) store_->settle_async(as_server_time(decided_at), delta, [](store::DoneOutcome) {});
    } catch (...) {
      // Out of memory for the request: lost as above.
    }
  }

  void settle_then(nanoseconds decided_at, std::int64_t delta, std::function<void()> answered) override {
    if (settles(decided_at, delta)) {
      store_->settle_async(as_server_time(decided_at), delta, [answered](store::DoneOutcome) { answered(); });
      return;
    }
    answered();
  }

  std::shared_ptr<CountHome> for_key(std::string_view key) override;

  // From a job, the loop's thread or the I/O thread: pipelined, and ordered
  // before every later call of this process by the store.
  void release_permit() noexcept override {
    if (auto lease = take_held()) {
      try {
        store_->release_async(std::move(*lease), [](store::DoneOutcome) {});
      } catch (...) {
        // Out of memory for the request: the lease still runs out unrenewed.
      }
    }
    // Release: a thread that sees the new count also sees the permit gone.
    releases_.fetch_add(1, std::memory_order_release);
  }

  // A thread's release: back at the server when this returns, or after the
  // timeout, which leaves the lease unrenewed, to be removed by the next
  // decision or to expire.
  void release_permit_and_wait() noexcept override {
    if (auto lease = take_held()) {
      try {
        (void)store_->release(*lease);
      } catch (...) {
        // As above.
      }
    }
    releases_.fetch_add(1, std::memory_order_release);
  }

  // A task's release, awaited until the server answers (or the timeout).
  void release_permit_then(std::function<void()> answered) override {
    bool queued = false;
    if (auto lease = take_held()) {
      try {
        store_->release_async(std::move(*lease), [answered](store::DoneOutcome) { answered(); });
        queued = true;
      } catch (...) {
        // As release_permit: the lease runs out unrenewed.
      }
    }
    releases_.fetch_add(1, std::memory_order_release);
    if (!queued) answered();
  }

  std::optional<std::uint64_t> burst_remaining() override {
    if (!max_burst_) return std::nullopt;
    const store::ReportOutcome& report = reading();
    if (!report) return 0;
    return *max_burst_ - std::min(report->leases_live, *max_burst_);
  }

  void read_windows(nanoseconds, std::span<engine::WindowState> windows) override {
    const store::ReportOutcome& report = reading();
    for (std::size_t i = 0; i < windows.size(); ++i) {
      // Nothing could be read: report nothing left rather than a guess.
      windows[i].count = report && i < report->windows.size() ? report->windows[i].count : windows[i].limit;
    }
  }

  std::optional<nanoseconds> window_wait(nanoseconds) override {
    const store::ReportOutcome& report = reading();
    if (!report) return std::nullopt;
    std::optional<nanoseconds> wait;
    const std::vector<std::uint64_t>& limits = window_limits_;
    for (std::size_t i = 0; i < report->windows.size() && i < limits.size(); ++i) {
      if (report->windows[i].count < limits[i]) continue;
      const nanoseconds left = report->windows[i].until_rollover;
      if (!wait || left < *wait) wait = left;
    }
    if (!wait) return std::nullopt;
    // As the in-process report: a full window is never reported as no wait.
    return std::max(*wait, nanoseconds(std::chrono::milliseconds(1)));
  }

  // Only releases by this process move it: another process's release reaches
  // a waiter here at the end of its backoff step, when it asks again.
  std::uint32_t releases_seen() const noexcept override { return releases_.load(std::memory_order_acquire); }

  SleepEnd sleep_until_release(std::uint32_t seen, nanoseconds monotonic_deadline) noexcept override {
    if (releases_seen() != seen) return SleepEnd::released;
    // Nothing ends this sleep early but a signal: the waiter asks the server
    // again at the end of its backoff step, which is how it learns of a
    // release anywhere.
    executor::WakeSignal nobody_wakes;
    const auto end = nobody_wakes.wait_until(monotonic_deadline);
    return end == executor::WakeSignal::WaitEnd::signal ? SleepEnd::signal : SleepEnd::timed_out;
  }

  void watch_releases_for(const engine::LimiterCore&, std::uint32_t) override {}

  HomeFailure failure() const override {
    const std::lock_guard lock(failure_mutex_);
    return last_failure_;
  }

  std::optional<HomeFailure> take_report_failure() noexcept override {
    const ThisReport ended = std::exchange(this_report, ThisReport{});
    const std::unique_ptr<store::ReportOutcome> reading(ended.reading);
    if (ended.home != this || !reading || *reading) return std::nullopt;
    try {
      return failure_of(reading->error());
    } catch (...) {
      return HomeFailure{HomeFailure::Kind::storage, {}};
    }
  }

  // The callback holds what keeps this home alive (the caller's core).
  void read_ahead(ReadingCallback done) override {
    store_->report_async([done = std::move(done)](store::ReportOutcome outcome) {
      Reading reading;
      try {
        reading = std::make_shared<store::ReportOutcome>(std::move(outcome));
      } catch (...) {
        // No memory for it: the report asks the server again itself.
      }
      done(std::move(reading));
    });
  }

  void use_reading(Reading read) noexcept override {
    if (!read) return;
    drop_reading();
    this_report = {this, new (std::nothrow) store::ReportOutcome(std::move(*static_cast<store::ReportOutcome*>(read.get())))};
    if (this_report.reading == nullptr) this_report.home = nullptr;
  }

  // The parent's permits stay the parent's: a release in the child must not
  // give back a lease the parent holds. The child has one thread, and the
  // fork guard keeps held_mutex_ from coming along locked by another, so
  // this needs no lock (the guard's own handler may still hold it here).
  // The same goes for the keys' homes.
  void forget_threads_in_child() noexcept override;

  // Whether this home holds no permit of this process.
  bool holds_nothing() {
    const std::lock_guard lock(held_mutex_);
    return leases_.empty() && unleased_ == 0;
  }

 private:
  Attempt attempt_from(store::DecisionOutcome outcome, bool take_permit) {
    if (!outcome) {
      // Only a server that cannot be reached: an error reply (a wrong
      // password, a bad database, a key of another type) is a fault that
      // admitting would hide, and an interrupted wait is the caller's.
      if (admit_when_unreachable_ && outcome.error().kind == store::StoreErrorKind::storage) {
        // Admitted without a lease: its release gives back nothing at the server.
        if (take_permit) hold(std::nullopt);
        return attempt_with([](Attempt& a) { a.admitted = true; });
      }
      note_failure(failure_of(outcome.error()));
      return attempt_with([](Attempt& a) { a.failed = true; });
    }
    if (auto* admitted = std::get_if<store::Admitted>(&*outcome)) {
      if (take_permit) hold(std::move(admitted->lease));
      Attempt attempt;
      attempt.admitted = true;
      attempt.decided_at = admitted->decided_at;
      return attempt;
    }
    const auto& refused = std::get<store::Refused>(*outcome);
    if (refused.reason == store::Refusal::burst_full) return attempt_with([](Attempt& a) { a.burst_refused = true; });
    Attempt window_full;
    window_full.window_wait = std::chrono::duration_cast<nanoseconds>(refused.retry_after);
    return window_full;
  }

  // An admission made without the server (unreachable) has no time of its
  // own there, and nothing to settle.
  static bool settles(nanoseconds decided_at, std::int64_t delta) noexcept {
    return delta != 0 && decided_at > nanoseconds(0);
  }
  static std::chrono::microseconds as_server_time(nanoseconds decided_at) noexcept {
    return std::chrono::duration_cast<std::chrono::microseconds>(decided_at);
  }

  void hold(std::optional<store::Lease> lease) {
    const std::lock_guard lock(held_mutex_);
    if (lease) {
      leases_.push_back(std::move(*lease));
    } else {
      ++unleased_;
    }
  }

  // One permit this process holds, no longer counted here; its lease, when
  // it has one, for the caller to give back (the store stops renewing it at
  // once, so a release that cannot reach the server still frees the permit
  // when the lease runs out).
  std::optional<store::Lease> take_held() noexcept {
    const std::lock_guard lock(held_mutex_);
    if (unleased_ > 0) {
      --unleased_;
      return std::nullopt;
    }
    if (leases_.empty()) return std::nullopt;
    std::optional<store::Lease> lease(std::move(leases_.back()));
    leases_.pop_back();
    return lease;
  }

  // The reading of this thread's report, asked for now if it has none.
  const store::ReportOutcome& reading() {
    if (this_report.home != this || this_report.reading == nullptr) {
      drop_reading();
      auto read = std::make_unique<store::ReportOutcome>(store_->report());
      this_report = {this, read.release()};
    }
    return *this_report.reading;
  }

  // Another home's reading left on this thread by a report that never ended.
  static void drop_reading() noexcept {
    delete std::exchange(this_report, ThisReport{}).reading;
  }

  void note_failure(HomeFailure failure) {
    const std::lock_guard lock(failure_mutex_);
    last_failure_ = std::move(failure);
  }

  const std::unique_ptr<store::RedisStore> store_;
  const std::optional<std::uint64_t> max_burst_;
  const bool admit_when_unreachable_;
  const std::vector<std::uint64_t> window_limits_;
  // The homes of this name's keys; null in a key's own home.
  const std::unique_ptr<KeyHomes> keys_;

  // Guards leases_ and unleased_; never held across a call to the store,
  // and held across fork() by the guard.
  std::mutex held_mutex_;
  std::vector<store::Lease> leases_;  // the permits this process holds at the server
  std::uint64_t unleased_ = 0;        // permits admitted while the server was unreachable
  store::ForkGuard fork_guard_{held_mutex_};

  // Bumped by every release of this process (release order, read with
  // acquire), so that a waiter that read it before its refused attempt does
  // not sleep through a release that came in between.
  std::atomic<std::uint32_t> releases_{0};

  // Guards last_failure_: a hint for the error the failing thread raises
  // next. Held across fork() by the guard.
  mutable std::mutex failure_mutex_;
  HomeFailure last_failure_{HomeFailure::Kind::storage, "the server could not be asked"};
  store::ForkGuard failure_fork_guard_{failure_mutex_};
};

// The homes of the keys of one name that this process uses, so that every
// view of a key finds the same one: the permits a key holds here are its
// home's leases, and a release through another view must give them back.
// A home nobody else refers to and that holds no permit is dropped when the
// table has doubled since the last sweep: its counts are at the server.
class KeyHomes {
 public:
  std::shared_ptr<RedisHome> find(std::string_view key) {
    const std::lock_guard lock(mutex_);
    const auto found = homes_.find(key);
    return found == homes_.end() ? nullptr : found->second;
  }

  // The home kept for the key: `made`, or one another thread kept first.
  std::shared_ptr<RedisHome> keep(std::string_view key, std::shared_ptr<RedisHome> made) {
    std::vector<std::shared_ptr<RedisHome>> dropped;  // destroyed after the lock, as their fork guards lock
    std::shared_ptr<RedisHome> kept;
    {
      const std::lock_guard lock(mutex_);
      kept = homes_.try_emplace(std::string(key), std::move(made)).first->second;
      if (homes_.size() >= sweep_at_) dropped = sweep();
    }
    return kept;
  }

  // In a forked child, with one thread: see RedisHome::forget_threads_in_child.
  void forget_threads_in_child() noexcept {
    for (auto& [key, home] : homes_) home->forget_threads_in_child();
  }

 private:
  // Lock held. Only the table hands out a home it alone refers to, so one
  // found so under the lock stays unused while it goes.
  std::vector<std::shared_ptr<RedisHome>> sweep() {
    std::vector<std::shared_ptr<RedisHome>> dropped;
    for (auto entry = homes_.begin(); entry != homes_.end();) {
      if (entry->second.use_count() == 1 && entry->second->holds_nothing()) {
        dropped.push_back(std::move(entry->second));
        entry = homes_.erase(entry);
      } else {
        ++entry;
      }
    }
    sweep_at_ = std::max(kFirstSweep, 2 * homes_.size());
    return dropped;
  }

  struct KeyHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view key) const noexcept { return std::hash<std::string_view>{}(key); }
  };
  static constexpr std::size_t kFirstSweep = 1024;

  // Guards the two below; held only for the table, never across I/O nor
  // while a home is made or destroyed (their fork guards take the fork
  // registry's lock, which a fork takes before this one). Held across fork().
  std::mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<RedisHome>, KeyHash, std::equal_to<>> homes_;
  std::size_t sweep_at_ = kFirstSweep;
  store::ForkGuard fork_guard_{mutex_};
};

RedisHome::RedisHome(std::unique_ptr<store::RedisStore> store, std::optional<std::uint64_t> max_burst,
                     bool admit_when_unreachable, std::vector<std::uint64_t> window_limits, bool keeps_keys)
    : store_(std::move(store)), max_burst_(max_burst), admit_when_unreachable_(admit_when_unreachable),
      window_limits_(std::move(window_limits)), keys_(keeps_keys ? std::make_unique<KeyHomes>() : nullptr) {}

RedisHome::~RedisHome() = default;

std::shared_ptr<engine::CountHome> RedisHome::for_key(std::string_view key) {
  if (!keys_) return nullptr;
  if (auto found = keys_->find(key)) return found;
  // Made outside the table's lock: see KeyHomes.
  auto made = std::make_shared<RedisHome>(store_->for_key(key), max_burst_, admit_when_unreachable_, window_limits_, false);
  return keys_->keep(key, std::move(made));
}

void RedisHome::forget_threads_in_child() noexcept {
  leases_.clear();
  unleased_ = 0;
  if (keys_) keys_->forget_threads_in_child();
}

store::SharedLimits limits_of(const engine::LimiterCore& core) {
  store::SharedLimits limits;
  core.window_table().with_lock([&limits](std::span<engine::WindowState> windows) {
    for (const engine::WindowState& window : windows) limits.windows.push_back({window.name, window.limit, window.length});
    return true;
  });
  limits.max_burst = core.max_burst();
  return limits;
}

}  // namespace

std::expected<void, HomeError> move_counts_to_redis(engine::LimiterCore& core, std::string_view url,
                                                    std::string_view name, const RedisHomeOptions& options) {
  const store::SharedLimits limits = limits_of(core);
  auto opened = store::open_redis_store(url, name, limits, {options.timeout, options.lease});
  if (!opened) return std::unexpected(home_error_of(std::move(opened.error())));
  if (auto verified = (*opened)->verify(); !verified) {
    // As for a decision: "allow" covers a server that cannot be reached only.
    const bool unreachable = verified.error().kind == store::StoreErrorKind::storage;
    if (!unreachable || !options.admit_when_unreachable) return std::unexpected(home_error_of(std::move(verified.error())));
  }
  std::vector<std::uint64_t> window_limits;
  for (const auto& window : limits.windows) window_limits.push_back(window.limit);
  core.attach_home(std::make_unique<RedisHome>(std::move(*opened), core.max_burst(), options.admit_when_unreachable,
                                               std::move(window_limits), true));
  return {};
}

void finish_redis_releases() noexcept { store::finish_releases(); }

std::expected<void, HomeError> remove_redis(std::string_view url, std::string_view name,
                                            std::chrono::milliseconds timeout) {
  if (auto removed = store::remove_redis_name(url, name, {timeout, std::chrono::milliseconds(30000)}); !removed)
    return std::unexpected(home_error_of(std::move(removed.error())));
  return {};
}

}  // namespace quellgate::homes
