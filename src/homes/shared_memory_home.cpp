#include "homes/shared_memory_home.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <utility>

#include "engine/count_home.hpp"
#include "homes/release_watcher.hpp"
#include "shared_memory/segment.hpp"

namespace quellgate::homes {
namespace {

using std::chrono::nanoseconds;
using shared_memory::Segment;

class SharedMemoryHome final : public engine::CountHome {
 public:
  explicit SharedMemoryHome(Segment segment) noexcept : segment_(std::move(segment)) {}

  Attempt admit(nanoseconds now, bool take_permit) override {
    const Segment::Attempt attempt = segment_.admit(now, take_permit);
    if (attempt.fault != shared_memory::Fault::none) note_fault(attempt.fault);
    return {attempt.admitted, attempt.burst_refused, attempt.window_wait, attempt.fault != shared_memory::Fault::none};
  }

  void release_permit() noexcept override { segment_.release_permit(); }

  std::optional<std::uint64_t> burst_remaining() override { return segment_.burst_remaining(); }

  void read_windows(nanoseconds now, std::span<engine::WindowState> windows) override {
    const shared_memory::Fault fault = segment_.read_windows(now, windows);
    if (fault == shared_memory::Fault::none) return;
    note_fault(fault);
    // Nothing could be read: report nothing left rather than a guess.
    for (engine::WindowState& window : windows) window.count = window.limit;
  }

  std::optional<nanoseconds> window_wait(nanoseconds now) override { return segment_.window_wait(now); }

  std::uint32_t releases_seen() const noexcept override { return segment_.wake_word(); }

  SleepEnd sleep_until_release(std::uint32_t seen, nanoseconds monotonic_deadline) noexcept override {
    switch (segment_.wait_for_release(seen, monotonic_deadline)) {
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
          const Segment::WaitEnd end = segment_.wait_for_release(prior, deadline);
          return ReleaseWatcher::Wait{segment_.wake_word(),
                                      end == Segment::WaitEnd::woken || end == Segment::WaitEnd::changed};
        },
        [this] { segment_.pass_wake_on(); });
  }

  bool watches_releases() const noexcept override { return true; }
  void pass_release_on() noexcept override { segment_.pass_wake_on(); }

  engine::HomeFailure failure() const override {
    return {engine::HomeFailure::Kind::os, segment_.describe(last_fault_.load(std::memory_order_relaxed))};
  }

  void forget_threads_in_child() noexcept override { watcher_.forget_in_child(); }

 private:
  // Relaxed: a hint for the message of the error the failing thread raises
  // next; another thread's fault in between changes only which reason it names.
  void note_fault(shared_memory::Fault fault) noexcept { last_fault_.store(fault, std::memory_order_relaxed); }

  Segment segment_;
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
                                                            std::optional<unsigned> mode) {
  auto segment = Segment::open(name, config_of(core), mode);
  if (!segment) return std::unexpected(from_open_error(std::move(segment.error())));
  core.attach_home(std::make_unique<SharedMemoryHome>(std::move(*segment)));
  return {};
}

std::expected<void, HomeError> remove_shared_memory(std::string_view name) {
  if (auto removed = Segment::remove(name); !removed) return std::unexpected(from_open_error(std::move(removed.error())));
  return {};
}

}  // namespace quellgate::homes
