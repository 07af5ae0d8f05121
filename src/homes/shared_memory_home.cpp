#include "homes/shared_memory_home.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "engine/count_home.hpp"
#include "executor/clock.hpp"
#include "executor/executor.hpp"
#include "homes/release_watcher.hpp"
#include "shared_memory/key_table.hpp"
#include "shared_memory/layout.hpp"
#include "shared_memory/segment.hpp"

namespace quellgate::homes {
namespace {

using std::chrono::nanoseconds;
using shared_memory::Segment;

// The last report on this thread that could not be read, and why; taken
// once by the limiter layer right after the call, on the same thread.
thread_local const void* report_failed_at = nullptr;
thread_local shared_memory::Fault report_fault = shared_memory::Fault::none;

// A release or a settlement that found the segment's lock held, made later.
struct OwedWork {
  std::shared_ptr<const std::string> key;  // null: the un-keyed count
  bool settlement = false;                 // else a release
  nanoseconds decided_at{0};
  std::int64_t delta = 0;
};

// The segment and the work that found its lock held. Shared with every
// key's home and with the job that makes that work later, which may
// outlive them all.
struct SegmentState {
  explicit SegmentState(Segment opened) noexcept : segment(std::move(opened)) {}

  // Makes the owed work while the lock can be had; false when it is busy
  // and some remains. Each piece is taken off the list before it is made,
  // so two threads settling at once never make one twice.
  bool settle_owed() noexcept {
    for (;;) {
      OwedWork work;
      {
        const std::lock_guard guard(*owed_mutex);
        if (owed.empty()) return true;
        work = std::move(owed.front());
        owed.pop_front();
      }
      if (make(work) == shared_memory::Fault::lock_busy) {
        const std::lock_guard guard(*owed_mutex);
        owed.push_front(std::move(work));  // room: the one just taken off
        return false;
      }
    }
  }

  // False only when memory ran out: the work is then lost, as it would be
  // with the process.
  bool owe(OwedWork work) noexcept {
    try {
      const std::lock_guard guard(*owed_mutex);
      owed.push_back(std::move(work));
      return true;
    } catch (...) {
      return false;
    }
  }

  bool has_owed() noexcept {
    const std::lock_guard guard(*owed_mutex);
    return !owed.empty();
  }

  shared_memory::Fault make(const OwedWork& work) noexcept {
    shared_memory::KeyRef key;
    if (work.key) key = {*work.key, shared_memory::hash_key(*work.key)};
    const shared_memory::KeyRef* keyed = work.key ? &key : nullptr;
    return work.settlement ? segment.settle(work.decided_at, work.delta, keyed) : segment.release_permit(keyed);
  }

  // In a forked child: the parent's owed work stays the parent's. A thread
  // of the parent may have held the mutex at the fork, so it is left as it
  // was (never unlocked, never freed) and the child takes a new one.
  void forget_in_child() noexcept {
    static_cast<void>(owed_mutex.release());
    static_cast<void>(new (&owed) std::deque<OwedWork>());
    owed_mutex = std::make_unique<std::mutex>();
    settling.store(false, std::memory_order_relaxed);
  }

  Segment segment;
  // Guards `owed`; held only to move a piece of work on or off the list,
  // never across the segment's lock, a sleep or the interpreter lock.
  std::unique_ptr<std::mutex> owed_mutex = std::make_unique<std::mutex>();
  std::deque<OwedWork> owed;
  // Whether a job is settling them. Acquire/release with the job's end, so
  // that work owed as the job ends is either seen by it or starts another.
  std::atomic<bool> settling{false};
};

// Makes a process's owed work once the lock is let go, looking at it on
// the executor's timer: more often at first, since a live holder lets go
// within microseconds, at most every 20 ms for one that is stopped.
executor::Task<void> settle_owed_later(std::shared_ptr<SegmentState> state) {
  for (std::uint32_t step_ms = 1;; step_ms = std::min<std::uint32_t>(step_ms * 2, 20)) {
    {
      executor::Sleep pause{std::chrono::milliseconds{step_ms}};
      co_await pause;
    }
    if (!state->settle_owed()) continue;
    state->settling.store(false, std::memory_order_seq_cst);
    // Owed between the last look and the store: this job goes on for it,
    // unless another started meanwhile.
    if (!state->has_owed() || state->settling.exchange(true, std::memory_order_seq_cst)) co_return;
  }
}

// The un-keyed counts of a segment, or one key's (for_key): the same
// segment, each home with a key of its own or none.
class SharedMemoryHome final : public engine::CountHome {
 public:
  explicit SharedMemoryHome(Segment segment) : state_(std::make_shared<SegmentState>(std::move(segment))) {}
  SharedMemoryHome(std::shared_ptr<SegmentState> state, std::string_view key)
      : state_(std::move(state)),
        key_(std::make_shared<const std::string>(key)),
        key_ref_{*key_, shared_memory::hash_key(*key_)} {}

  Attempt admit(nanoseconds now, bool take_permit, std::uint64_t cost) override {
    const Segment::Attempt attempt = segment().admit(now, take_permit, cost, key());
    if (attempt.fault != shared_memory::Fault::none) [[unlikely]] note_fault(attempt.fault);
    return {attempt.admitted, attempt.burst_refused, attempt.window_wait, attempt.fault != shared_memory::Fault::none,
            now};
  }

  // A settlement that finds the lock held is owed, as a release is.
  void settle(nanoseconds decided_at, std::int64_t delta) noexcept override {
    if (segment().settle(decided_at, delta, key()) != shared_memory::Fault::lock_busy) [[likely]] return;
    owe({key_, true, decided_at, delta});
  }

  // A release that finds the lock held is owed: made by a job once the lock
  // is let go, or sooner by a caller that waits for it (see the seam). It is
  // never dropped and never blocks its caller, which may be an event loop.
  void release_permit() noexcept override {
    if (segment().release_permit(key()) != shared_memory::Fault::lock_busy) [[likely]] return;
    owe({key_, false, nanoseconds::zero(), 0});
  }

  std::shared_ptr<CountHome> for_key(std::string_view key) override {
    if (key_) return nullptr;
    return std::make_shared<SharedMemoryHome>(state_, key);
  }

  std::optional<KeyTableUse> key_table_use() override {
    auto use = segment().key_table_use(executor::wall_now());
    if (use) return KeyTableUse{use->live, use->max_keys, use->refused};
    note_report_fault(use.error());
    return KeyTableUse{};
  }

  // Owed work is made in the order it was owed, whichever key it is for.
  void give_back_owed_releases() noexcept override {
    if (!state_->settle_owed()) note_lock_busy();
  }

  std::optional<std::uint64_t> burst_remaining() override {
    auto remaining = segment().burst_remaining(key());
    if (remaining) return *remaining;
    note_report_fault(remaining.error());
    return 0;
  }

  void read_windows(nanoseconds now, std::span<engine::WindowState> windows) override {
    const shared_memory::Fault fault = segment().read_windows(now, windows, key());
    if (fault == shared_memory::Fault::none) return;
    note_report_fault(fault);
    // Nothing could be read; the caller raises instead of reporting this.
    for (engine::WindowState& window : windows) window.count = window.limit;
  }

  std::optional<nanoseconds> window_wait(nanoseconds now) override {
    auto wait = segment().window_wait(now, key());
    if (wait) return *wait;
    note_report_fault(wait.error());
    return std::nullopt;
  }

  std::uint32_t releases_seen() const noexcept override { return segment().wake_word(); }

  SleepEnd sleep_until_release(std::uint32_t seen, nanoseconds monotonic_deadline) noexcept override {
    switch (segment().wait_for_release(seen, monotonic_deadline)) {
      case Segment::WaitEnd::woken:
      case Segment::WaitEnd::changed:
        return SleepEnd::released;
      case Segment::WaitEnd::timed_out:
        return SleepEnd::timed_out;
      case Segment::WaitEnd::signal:
        break;
    }
    return SleepEnd::signal;
  }

  void watch_releases_for(const engine::LimiterCore& core, std::uint32_t seen) override {
    watcher_.watch(
        core, seen,
        [this](std::uint32_t prior, nanoseconds deadline) {
          const Segment::WaitEnd end = segment().wait_for_release(prior, deadline);
          return ReleaseWatcher::Wait{segment().wake_word(),
                                      end == Segment::WaitEnd::woken || end == Segment::WaitEnd::changed};
        },
        [this] { segment().pass_wake_on(); });
  }

  bool watches_releases() const noexcept override { return true; }
  void pass_release_on() noexcept override { segment().pass_wake_on(); }

  engine::HomeFailure failure() const override {
    return {engine::HomeFailure::Kind::os, segment().describe(last_fault_.load(std::memory_order_relaxed))};
  }

  std::optional<engine::HomeFailure> take_report_failure() noexcept override {
    if (std::exchange(report_failed_at, nullptr) != this) return std::nullopt;
    try {
      return engine::HomeFailure{engine::HomeFailure::Kind::os, segment().describe(report_fault)};
    } catch (...) {
      return engine::HomeFailure{engine::HomeFailure::Kind::os, {}};
    }
  }

  LockWait wait_for_lock(nanoseconds monotonic_deadline) noexcept override {
    switch (segment().wait_for_lock(monotonic_deadline)) {
      case shared_memory::Fault::none:
        return LockWait::free;
      case shared_memory::Fault::lock_busy:
        return LockWait::timed_out;
      default:
        break;
    }
    return LockWait::unusable;
  }

  engine::HomeFailure stuck_lock() const override {
    return {engine::HomeFailure::Kind::os, segment().describe(shared_memory::Fault::lock_stuck)};
  }

  // The parent's owed releases stay the parent's; the child has no job.
  void forget_threads_in_child() noexcept override {
    watcher_.forget_in_child();
    state_->forget_in_child();
  }

 private:
  Segment& segment() const noexcept { return state_->segment; }
  const shared_memory::KeyRef* key() const noexcept { return key_ ? &key_ref_ : nullptr; }

  void owe(OwedWork work) noexcept {
    note_lock_busy();
    if (!state_->owe(std::move(work))) return;
    if (state_->settling.exchange(true, std::memory_order_seq_cst)) return;
    try {
      // Its handle dropped: the job runs on, detached, and owns its state.
      static_cast<void>(executor::spawn(settle_owed_later(state_)));
    } catch (...) {
      // No executor: the next caller that waits for the lock makes it.
      state_->settling.store(false, std::memory_order_seq_cst);
    }
  }

  // Busy is this thread's note, for the caller to wait and try again; any
  // other fault is also the reason the next error names.
  void note_fault(shared_memory::Fault fault) noexcept {
    if (fault == shared_memory::Fault::lock_busy) {
      note_lock_busy();
      return;
    }
    // Relaxed: a hint for the message of the error the failing thread raises
    // next; another thread's fault in between changes only which reason it names.
    last_fault_.store(fault, std::memory_order_relaxed);
  }

  void note_report_fault(shared_memory::Fault fault) noexcept {
    if (fault == shared_memory::Fault::lock_busy) {
      note_lock_busy();
      return;
    }
    report_failed_at = this;
    report_fault = fault;
  }

  std::shared_ptr<SegmentState> state_;  // never null
  std::shared_ptr<const std::string> key_;  // null: the un-keyed counts
  shared_memory::KeyRef key_ref_{};          // of *key_, when set
  ReleaseWatcher watcher_;
  std::atomic<shared_memory::Fault> last_fault_{shared_memory::Fault::none};
};

HomeError from_open_error(shared_memory::OpenError failure) {
  const bool os = failure.kind == shared_memory::OpenError::Kind::os;
  return {os ? HomeError::Kind::os : HomeError::Kind::invalid, failure.error_number, std::move(failure.message)};
}

shared_memory::SharedConfig config_of(const engine::LimiterCore& core) {
  shared_memory::SharedConfig config;
  core.window_table().with_lock([&config](std::span<engine::WindowState> windows) {
    config.window_count = std::min(windows.size(), config.windows.size());
    for (std::size_t i = 0; i < config.window_count; ++i) config.windows[i] = {windows[i].length, windows[i].limit};
    return true;
  });
  config.max_burst = core.max_burst().value_or(0);
  return config;
}

}  // namespace

std::expected<void, HomeError> move_counts_to_shared_memory(engine::LimiterCore& core, std::string_view name,
                                                            std::optional<unsigned> mode, std::uint64_t max_keys) {
  shared_memory::SharedConfig config = config_of(core);
  config.max_keys = max_keys;
  auto segment = Segment::open(name, config, mode);
  if (!segment) return std::unexpected(from_open_error(std::move(segment.error())));
  core.attach_home(std::make_unique<SharedMemoryHome>(std::move(*segment)));
  return {};
}

std::uint64_t default_max_keys() noexcept { return shared_memory::SharedConfig::default_max_keys; }
std::uint64_t most_max_keys() noexcept { return shared_memory::layout::max_key_entries; }

std::expected<void, HomeError> remove_shared_memory(std::string_view name) {
  if (auto removed = Segment::remove(name); !removed) return std::unexpected(from_open_error(std::move(removed.error())));
  return {};
}

}  // namespace quellgate::homes
