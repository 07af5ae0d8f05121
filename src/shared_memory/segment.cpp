#include "shared_memory/segment.hpp"

#include <utility>

#include "engine/report.hpp"
#include "shared_memory/journal.hpp"
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

// The windows as they stand at `now`, read from the cells; the cells are
// not written. A later interval starts afresh. A stored start after now's
// (the clock went back, or garbage) moves to now's interval keeping its
// count, so a clock stepped back stalls admissions for one window at most.
struct Windows {
  std::array<engine::WindowState, layout::max_windows> states{};
  std::size_t size = 0;
  std::span<engine::WindowState> span() noexcept { return {states.data(), size}; }
};

Windows windows_at(const Mapping& mapping, nanoseconds now) noexcept {
  Windows windows;
  const layout::Layout& segment = mapping.segment();
  for (const WindowSpec& spec : mapping.config().active()) {
    const std::size_t i = windows.size++;
    engine::WindowState& window = windows.states[i];
    window.limit = spec.limit;
    window.length = spec.length_seconds;
    window.count = segment.cells[cell::window_count(i)];
    window.window_start = segment.cells[cell::window_start(i)];
    const std::uint64_t start = engine::aligned_start(window.length, now);
    if (window.window_start < start) window.count = 0;
    window.window_start = start;
  }
  return windows;
}

// A refusal still keeps the windows' moves: a window moved back to a clock
// stepped back must stay there, or it would refuse until the clock came
// back to where it was. The permit this attempt staged is dropped: a new
// transaction overwrites it before anything is marked pending.
void keep_moved_windows(layout::Layout& segment, const Windows& windows) noexcept {
  Transaction moves(segment);
  for (std::size_t i = 0; i < windows.size; ++i) {
    if (windows.states[i].window_start == segment.cells[cell::window_start(i)]) continue;
    moves.set(cell::window_start(i), windows.states[i].window_start);
    moves.set(cell::window_count(i), windows.states[i].count);
  }
  if (!moves.empty()) moves.commit();
}

// Designated initializers would name every member, under -Wextra.
Segment::Attempt faulted(Fault fault) noexcept {
  Segment::Attempt attempt;
  attempt.fault = fault;
  return attempt;
}

// One attempt with the lock held: a burst permit for `me` when given, and
// a place in every window; all of it or none.
Segment::Attempt decide(Mapping& mapping, nanoseconds now, const ProcessIdentity* me) noexcept {
  layout::Layout& segment = mapping.segment();
  Transaction transaction(segment);
  if (me != nullptr) {
    const auto taken = stage_permit(mapping, *me, transaction);
    if (taken == PermitStaged::cap_reached) {
      Segment::Attempt refused;
      refused.burst_refused = true;
      return refused;
    }
    if (taken == PermitStaged::no_free_slot) return faulted(Fault::no_free_slot);
  }
  Windows windows = windows_at(mapping, now);
  for (std::size_t i = 0; i < windows.size; ++i) {
    const engine::WindowState& window = windows.states[i];
    if (engine::is_full(window)) {
      keep_moved_windows(segment, windows);
      Segment::Attempt refused;
      refused.window_wait = engine::wait_for_full_windows(windows.span(), now);
      return refused;
    }
    if (window.window_start != segment.cells[cell::window_start(i)]) {
      transaction.set(cell::window_start(i), window.window_start);
    }
    transaction.set(cell::window_count(i), window.count + 1);
  }
  transaction.commit();
  Segment::Attempt admitted;
  admitted.admitted = true;
  return admitted;
}

std::optional<Segment::Attempt> decide_locked(Mapping& mapping, nanoseconds now, const ProcessIdentity* me) noexcept {
  const SegmentLock lock(mapping.segment());
  if (!lock.held()) return std::nullopt;
  return decide(mapping, now, me);
}

}  // namespace

Segment::Segment(std::unique_ptr<Mapping> mapping) noexcept : mapping_(std::move(mapping)) {}
Segment::Segment(Segment&&) noexcept = default;
Segment& Segment::operator=(Segment&&) noexcept = default;
Segment::~Segment() = default;

std::expected<Segment, OpenError> Segment::open(std::string_view name, const SharedConfig& config, unsigned mode) {
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
  }
  return subject;
}

Segment::Attempt Segment::admit(nanoseconds now, bool take_permit) {
  Mapping& mapping = *mapping_;
  const ProcessIdentity* me = take_permit && mapping.config().max_burst != 0 ? &current_identity() : nullptr;
  auto attempt = decide_locked(mapping, now, me);
  if (attempt && me != nullptr && (attempt->burst_refused || attempt->fault == Fault::no_free_slot) &&
      reclaim_dead_slots(mapping, *me, now)) {
    attempt = decide_locked(mapping, now, me);
  }
  return attempt.value_or(faulted(Fault::unrecoverable_lock));
}

void Segment::release_permit() noexcept {
  Mapping& mapping = *mapping_;
  if (mapping.config().max_burst == 0) return;
  if (return_permit(mapping, current_identity())) wake_sleepers(mapping.segment());
}

std::optional<std::uint64_t> Segment::burst_remaining() noexcept {
  const std::uint64_t max_burst = mapping_->config().max_burst;
  if (max_burst == 0) return std::nullopt;
  const SegmentLock lock(mapping_->segment());
  if (!lock.held()) return std::nullopt;
  const std::uint64_t held = mapping_->segment().cells[cell::burst_in_use];
  return held >= max_burst ? 0 : max_burst - held;
}

Fault Segment::read_windows(nanoseconds now, std::span<engine::WindowState> out) noexcept {
  const SegmentLock lock(mapping_->segment());
  if (!lock.held()) return Fault::unrecoverable_lock;
  const Windows windows = windows_at(*mapping_, now);
  for (std::size_t i = 0; i < std::min(windows.size, out.size()); ++i) {
    out[i].limit = windows.states[i].limit;
    out[i].length = windows.states[i].length;
    out[i].count = windows.states[i].count;
    out[i].window_start = windows.states[i].window_start;
  }
  return Fault::none;
}

std::optional<nanoseconds> Segment::window_wait(nanoseconds now) noexcept {
  const SegmentLock lock(mapping_->segment());
  if (!lock.held()) return std::nullopt;
  Windows windows = windows_at(*mapping_, now);
  return engine::wait_for_full_windows(windows.span(), now);
}

std::uint32_t Segment::wake_word() const noexcept { return load_wake_word(mapping_->segment()); }

Segment::WaitEnd Segment::wait_for_release(std::uint32_t seen, nanoseconds monotonic_deadline) const noexcept {
  return sleep_on_wake_word(mapping_->segment(), seen, monotonic_deadline);
}

}  // namespace quellgate::shared_memory
