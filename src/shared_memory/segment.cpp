#include "shared_memory/segment.hpp"

#include <utility>

#include "engine/report.hpp"
#include "shared_memory/journal.hpp"
#include "shared_memory/lock_holder.hpp"
#include "shared_memory/mapping.hpp"
#include "shared_memory/object_name.hpp"
#include "shared_memory/process_slots.hpp"
#include "shared_memory/segment_lock.hpp"
#include "shared_memory/wake.hpp"

namespace quellgate::shared_memory {
namespace {

using std::chrono::nanoseconds;
namespace cell = layout::cell;

static_assert(layout::max_windows == std::tuple_size_v<decltype(SharedConfig::windows)>);

struct Windows {
  std::array<engine::StoredWindow, layout::max_windows> at;  // the first `size` are set
  std::size_t size = 0;
  unsigned moved = 0;  // bit i: at[i] differs from the cells
};

engine::StoredWindow stored_window(const layout::Layout& segment, std::size_t i) noexcept {
  return {segment.cells[cell::window_start(i)], segment.cells[cell::window_count(i)],
          segment.cells[cell::window_newer_start(i)]};
}

// The windows as they stand at `now`, read from the cells with the lock
// held; the cells are not written. They move as the engine's windows do
// (engine::window_position). Lengths and limits come from the mapping's
// checked copy of the configuration, never from the segment.
[[gnu::always_inline]] inline Windows windows_at(const Mapping& mapping, nanoseconds now) noexcept {
  Windows windows;
  const layout::Layout& segment = mapping.segment();
  const std::uint64_t now_seconds = engine::whole_seconds(now);
  for (const WindowSpec& spec : mapping.config().active()) {
    const std::size_t i = windows.size++;
    const std::uint64_t stored = segment.cells[cell::window_start(i)];
    // Still the stored window: a comparison instead of the division below,
    // which is most of the arithmetic of an admission.
    if (now_seconds >= stored && now_seconds - stored < spec.length_seconds) [[likely]] {
      windows.at[i] = {stored, segment.cells[cell::window_count(i)], segment.cells[cell::window_newer_start(i)]};
      continue;
    }
    const engine::StoredWindow before = stored_window(segment, i);
    windows.at[i] = engine::window_position(spec.length_seconds, before, now);
    if (windows.at[i] != before) windows.moved |= 1u << i;
  }
  return windows;
}

// Stages window `i` with `count`: only the count unless the window moved.
[[gnu::always_inline]] inline void stage_window(const Windows& windows, std::size_t i, std::uint64_t count,
                                                Transaction& transaction) noexcept {
  if ((windows.moved >> i) & 1u) [[unlikely]] {
    transaction.set(cell::window_start(i), windows.at[i].start);
    transaction.set(cell::window_newer_start(i), windows.at[i].newer_start);
  }
  transaction.set(cell::window_count(i), count);
}

std::optional<nanoseconds> wait_for_full(const Mapping& mapping, const Windows& windows, nanoseconds now) noexcept {
  std::array<engine::WindowState, layout::max_windows> states{};
  for (std::size_t i = 0; i < windows.size; ++i) {
    states[i].limit = mapping.config().windows[i].limit;
    states[i].length = mapping.config().windows[i].length_seconds;
    states[i].window_start = windows.at[i].start;
    states[i].count = windows.at[i].count;
    states[i].newer_start = windows.at[i].newer_start;
  }
  return engine::wait_for_full_windows(std::span(states.data(), windows.size), now);
}

// A refusal still keeps the windows' moves: a window moved back to a clock
// stepped back must stay there, or it would refuse until the clock came
// back to where it was. The permit this attempt staged is dropped with its
// transaction, which never reached the segment.
void keep_moved_windows(layout::Layout& segment, const Windows& windows) noexcept {
  if (windows.moved == 0) return;
  Transaction moves(segment);
  for (std::size_t i = 0; i < windows.size; ++i) {
    if ((windows.moved >> i) & 1u) stage_window(windows, i, windows.at[i].count, moves);
  }
  moves.commit();
}

// One attempt: a burst permit for `me` when given, and a place in every
// window; all of it or none. Fills `result`, which is returned in place:
// copies of a result built piecewise cost store-forwarding stalls that
// showed in the profile of an admission.
void decide(Mapping& mapping, nanoseconds now, const ProcessIdentity* me, Segment::Attempt& result) noexcept {
  layout::Layout& segment = mapping.segment();
  const SegmentLock lock(segment);
  if (!lock.held()) [[unlikely]] {
    result.fault = lock.busy() ? Fault::lock_busy : Fault::unrecoverable_lock;
    return;
  }
  Transaction transaction(segment);
  if (me != nullptr) {
    const auto taken = stage_permit(mapping, *me, transaction);
    if (taken != PermitStaged::staged) {
      result.burst_refused = taken == PermitStaged::cap_reached;
      if (taken == PermitStaged::no_free_slot) result.fault = Fault::no_free_slot;
      return;
    }
  }
  const Windows windows = windows_at(mapping, now);
  for (std::size_t i = 0; i < windows.size; ++i) {
    if (windows.at[i].count >= mapping.config().windows[i].limit) {
      keep_moved_windows(segment, windows);
      result.window_wait = wait_for_full(mapping, windows, now);
      return;
    }
    stage_window(windows, i, windows.at[i].count + 1, transaction);
  }
  transaction.commit();
  result.admitted = true;
}

Fault fault_of(const SegmentLock& lock) noexcept {
  return lock.busy() ? Fault::lock_busy : Fault::unrecoverable_lock;
}

// For a wait that gave up: who holds the lock, as far as this PID
// namespace's /proc can tell.
std::string describe_stuck_lock(layout::Layout& segment) {
  const pid_t owner = lock_owner_thread(segment);
  const std::optional<LockHolder> holder = lock_holder_of(owner);
  if (!holder) return "its lock was not let go for as long as a call waits for it";
  const std::string process = "process " + std::to_string(holder->pid);
  if (holder->stopped) {
    return "its lock is held by " + process + ", which is stopped (SIGSTOP, Ctrl+Z, a debugger or a frozen cgroup); "
           "it must be continued or killed";
  }
  return "its lock is held by " + process + ", which does not let it go";
}

}  // namespace

Segment::Segment(std::unique_ptr<Mapping> mapping) noexcept : mapping_(std::move(mapping)) {}
Segment::Segment(Segment&&) noexcept = default;
Segment& Segment::operator=(Segment&&) noexcept = default;
Segment::~Segment() = default;

std::expected<Segment, OpenError> Segment::open(std::string_view name, const SharedConfig& config,
                                                std::optional<unsigned> mode) {
  auto mapping = open_mapping(name, config, mode);
  if (!mapping) return std::unexpected(std::move(mapping.error()));
  return Segment(std::move(*mapping));
}

const SharedConfig& Segment::config() const noexcept { return mapping_->config(); }
const std::string& Segment::name() const noexcept { return mapping_->name(); }

std::string Segment::describe(Fault fault) const {
  const std::string subject = "shared limiter " + quoted(name());
  switch (fault) {
    case Fault::none:
      return subject + ": no fault";
    case Fault::unrecoverable_lock:
      return subject + ": its lock cannot be taken (left unrecoverable, or overwritten); remove it and start again";
    case Fault::no_free_slot:
      return subject + ": " + std::to_string(layout::slot_count) +
             " live processes already hold burst permits, and no more can be tracked";
    case Fault::lock_busy:
      return subject + ": its lock is held by another thread";
    case Fault::lock_stuck:
      return subject + ": " + describe_stuck_lock(mapping_->segment());
  }
  return subject;
}

Segment::Attempt Segment::admit(nanoseconds now, bool take_permit) {
  Mapping& mapping = *mapping_;
  ProcessIdentity identity;
  const ProcessIdentity* me = nullptr;
  if (take_permit && mapping.config().max_burst != 0) {
    identity = current_identity();
    me = &identity;
  }
  Attempt attempt;
  decide(mapping, now, me, attempt);
  if (me != nullptr && (attempt.burst_refused || attempt.fault == Fault::no_free_slot) &&
      reclaim_dead_slots(mapping, *me, now)) {
    attempt = Attempt();
    decide(mapping, now, me, attempt);
  }
  return attempt;
}

Fault Segment::release_permit() noexcept {
  Mapping& mapping = *mapping_;
  if (mapping.config().max_burst == 0) return Fault::none;
  switch (return_permit(mapping, current_identity())) {
    case PermitReturned::returned:
      wake_sleepers(mapping.segment());
      break;
    case PermitReturned::lock_busy:
      return Fault::lock_busy;
    case PermitReturned::none_held:
      break;
  }
  return Fault::none;
}

std::expected<std::optional<std::uint64_t>, Fault> Segment::burst_remaining() noexcept {
  const std::uint64_t max_burst = mapping_->config().max_burst;
  if (max_burst == 0) return std::nullopt;
  const SegmentLock lock(mapping_->segment());
  if (!lock.held()) return std::unexpected(fault_of(lock));
  const std::uint64_t held = mapping_->segment().cells[cell::burst_in_use];
  return held >= max_burst ? 0 : max_burst - held;
}

Fault Segment::read_windows(nanoseconds now, std::span<engine::WindowState> out) noexcept {
  const SegmentLock lock(mapping_->segment());
  if (!lock.held()) return fault_of(lock);
  const Windows windows = windows_at(*mapping_, now);
  for (std::size_t i = 0; i < std::min(windows.size, out.size()); ++i) {
    out[i].limit = mapping_->config().windows[i].limit;
    out[i].length = mapping_->config().windows[i].length_seconds;
    out[i].count = windows.at[i].count;
    out[i].window_start = windows.at[i].start;
    out[i].newer_start = windows.at[i].newer_start;
  }
  return Fault::none;
}

std::expected<std::optional<nanoseconds>, Fault> Segment::window_wait(nanoseconds now) noexcept {
  const SegmentLock lock(mapping_->segment());
  if (!lock.held()) return std::unexpected(fault_of(lock));
  return wait_for_full(*mapping_, windows_at(*mapping_, now), now);
}

Fault Segment::wait_for_lock(nanoseconds monotonic_deadline) const noexcept {
  SegmentLock lock(mapping_->segment(), monotonic_deadline);
  if (!lock.held()) return fault_of(lock);
  return Fault::none;
}

std::uint32_t Segment::wake_word() const noexcept { return load_wake_word(mapping_->segment()); }

void Segment::pass_wake_on() const noexcept { shared_memory::pass_wake_on(mapping_->segment()); }

Segment::WaitEnd Segment::wait_for_release(std::uint32_t seen, nanoseconds monotonic_deadline) const noexcept {
  return sleep_on_wake_word(mapping_->segment(), seen, monotonic_deadline);
}

}  // namespace quellgate::shared_memory
