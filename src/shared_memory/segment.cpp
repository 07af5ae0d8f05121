#include "shared_memory/segment.hpp"

#include <limits>
#include <utility>

#include "engine/report.hpp"
#include "shared_memory/journal.hpp"
#include "shared_memory/key_table.hpp"
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

engine::StoredWindow stored_window(const std::uint64_t* window) noexcept { return {window[0], window[1], window[2]}; }

// The windows as they stand at `now`, read from the cells with the lock
// held; the cells are not written. They move as the engine's windows do
// (engine::window_position). Lengths and limits come from the mapping's
// checked copy of the configuration, never from the segment. `base`: the
// first window's start cell (CountCells::windows).
[[gnu::always_inline]] inline Windows windows_at(const Mapping& mapping, std::size_t base, nanoseconds now) noexcept {
  Windows windows;
  const std::uint64_t* cells = mapping.cells() + base;
  const std::uint64_t now_seconds = engine::whole_seconds(now);
  for (const WindowSpec& spec : mapping.config().active()) {
    const std::size_t i = windows.size++;
    const std::uint64_t* window = cells + 3 * i;
    const std::uint64_t stored = window[0];
    // Still the stored window: a comparison instead of the division below,
    // which is most of the arithmetic of an admission.
    if (now_seconds >= stored && now_seconds - stored < spec.length_seconds) [[likely]] {
      windows.at[i] = {stored, window[1], window[2]};
      continue;
    }
    const engine::StoredWindow before = stored_window(window);
    windows.at[i] = engine::window_position(spec.length_seconds, before, now);
    if (windows.at[i] != before) windows.moved |= 1u << i;
  }
  return windows;
}

// The windows of an entry just taken for a key: counted from nothing, all
// of them written with the admission.
Windows fresh_windows(const Mapping& mapping, nanoseconds now) noexcept {
  Windows windows;
  for (const WindowSpec& spec : mapping.config().active()) {
    const std::size_t i = windows.size++;
    windows.at[i] = {engine::aligned_start(spec.length_seconds, now), 0, 0};
    windows.moved |= 1u << i;
  }
  return windows;
}

// Stages window `i` with `count`: only the count unless the window moved.
[[gnu::always_inline]] inline void stage_window(const Windows& windows, std::size_t base, std::size_t i,
                                                std::uint64_t count, Transaction& transaction) noexcept {
  if ((windows.moved >> i) & 1u) [[unlikely]] {
    transaction.set(base + cell::window_start(i), windows.at[i].start);
    transaction.set(base + cell::window_newer_start(i), windows.at[i].newer_start);
  }
  transaction.set(base + cell::window_count(i), count);
}

std::optional<nanoseconds> wait_for_full(const Mapping& mapping, const Windows& windows, nanoseconds now,
                                         std::uint64_t cost = 1) noexcept {
  std::array<engine::WindowState, layout::max_windows> states{};
  for (std::size_t i = 0; i < windows.size; ++i) {
    states[i].limit = mapping.config().windows[i].limit;
    states[i].length = mapping.config().windows[i].length_seconds;
    states[i].window_start = windows.at[i].start;
    // A window with room for fewer than `cost` is as full as it gets for
    // this admission: it waits for the rollover too.
    const std::uint64_t room = states[i].limit - std::min(states[i].limit, windows.at[i].count);
    states[i].count = room < cost ? states[i].limit : windows.at[i].count;
    states[i].newer_start = windows.at[i].newer_start;
  }
  return engine::wait_for_full_windows(std::span(states.data(), windows.size), now);
}

// A refusal still keeps the windows' moves: a window moved back to a clock
// stepped back must stay there, or it would refuse until the clock came
// back to where it was. The permit this attempt staged is dropped with its
// transaction, which never reached the segment.
void keep_moved_windows(const Mapping& mapping, std::size_t base, const Windows& windows) noexcept {
  if (windows.moved == 0) return;
  Transaction moves(mapping.segment(), mapping.cell_count());
  for (std::size_t i = 0; i < windows.size; ++i) {
    if ((windows.moved >> i) & 1u) stage_window(windows, base, i, windows.at[i].count, moves);
  }
  moves.commit();
}

// Where the counts of `key` are, with the lock held; for an admission
// (`claim`), an entry taken for it when it has none, staged in the
// transaction. Nothing when the key has no entry (and none could be taken).
struct Placed {
  CountCells cells;
  bool fresh = false;  // an entry just taken: its windows start from nothing
};
std::optional<Placed> place(const Mapping& mapping, const KeyRef* key, nanoseconds now, Transaction* claim) noexcept {
  if (key == nullptr) [[likely]] return Placed{};
  // Not a key the table can hold: never counted, and never given an entry.
  if (key->bytes.empty() || key->bytes.size() > layout::key_cell::max_key_bytes) return std::nullopt;
  const KeyLookup found = find_key(mapping, *key, now, claim != nullptr);
  if (found.entry) return Placed{cells_of_entry(*found.entry), false};
  if (!found.free) return std::nullopt;
  stage_claim(mapping, *found.free, *key, *claim);
  return Placed{cells_of_entry(*found.free), true};
}

// A key refused for want of an entry: counted, and told when one may come free.
void refuse_for_full_table(const Mapping& mapping, const KeyRef& key, nanoseconds now,
                           Segment::Attempt& result) noexcept {
  Transaction count(mapping.segment(), mapping.cell_count());
  const std::uint64_t refused = mapping.cells()[cell::keys_refused];
  count.set(cell::keys_refused, refused + 1);
  count.commit();
  result.table_full = true;
  result.window_wait = until_a_free_entry(mapping, key, now);
}

// One attempt: a burst permit for `me` when given, and `cost` places in
// every window; all of it or none. Fills `result`, which is returned in
// place: copies of a result built piecewise cost store-forwarding stalls
// that showed in the profile of an admission.
void decide(Mapping& mapping, nanoseconds now, const ProcessIdentity* me, std::uint64_t cost, const KeyRef* key,
            Segment::Attempt& result) noexcept {
  layout::Layout& segment = mapping.segment();
  const SegmentLock lock(mapping);
  if (!lock.held()) [[unlikely]] {
    result.fault = lock.busy() ? Fault::lock_busy : Fault::unrecoverable_lock;
    return;
  }
  Transaction transaction(segment, mapping.cell_count());
  // The un-keyed counts unless a key is given: no call on their way, which
  // the profile of an admission showed.
  Placed placed;
  if (key != nullptr) [[unlikely]] {
    const std::optional<Placed> keyed = place(mapping, key, now, &transaction);
    if (!keyed) {
      refuse_for_full_table(mapping, *key, now, result);
      return;
    }
    placed = *keyed;
  }
  if (me != nullptr) {
    const auto taken = stage_permit(mapping, *me, placed.cells, transaction);
    if (taken != PermitStaged::staged) {
      result.burst_refused = taken == PermitStaged::cap_reached;
      if (taken == PermitStaged::no_free_slot) result.fault = Fault::no_free_slot;
      return;
    }
  }
  const std::size_t base = placed.cells.windows;
  const Windows windows = placed.fresh ? fresh_windows(mapping, now) : windows_at(mapping, base, now);
  for (std::size_t i = 0; i < windows.size; ++i) {
    const std::uint64_t limit = mapping.config().windows[i].limit;
    if (windows.at[i].count >= limit || limit - windows.at[i].count < cost) {
      // An entry just taken is left as it was: its moves are its claim's.
      if (!placed.fresh) keep_moved_windows(mapping, base, windows);
      result.window_wait = wait_for_full(mapping, windows, now, cost);
      return;
    }
    stage_window(windows, base, i, windows.at[i].count + cost, transaction);
  }
  transaction.commit();
  result.admitted = true;
}

// The count a settlement leaves: more without refusal, less never below 0.
std::uint64_t settled(std::uint64_t count, std::int64_t delta) noexcept {
  if (delta >= 0) {
    const auto more = static_cast<std::uint64_t>(delta);
    return count > std::numeric_limits<std::uint64_t>::max() - more ? std::numeric_limits<std::uint64_t>::max()
                                                                      : count + more;
  }
  const std::uint64_t less = 0 - static_cast<std::uint64_t>(delta);
  return count - std::min(count, less);
}

Fault fault_of(const SegmentLock& lock) noexcept {
  return lock.busy() ? Fault::lock_busy : Fault::unrecoverable_lock;
}

// For a wait that gave up: who holds the lock, as far as this process can tell.
std::string describe_stuck_lock(Mapping& mapping) {
  const std::optional<LockHolder> holder = lock_holder(mapping);
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
      return subject + ": " + describe_stuck_lock(*mapping_);
  }
  return subject;
}

Segment::Attempt Segment::admit(nanoseconds now, bool take_permit, std::uint64_t cost, const KeyRef* key) {
  Mapping& mapping = *mapping_;
  ProcessIdentity identity;
  const ProcessIdentity* me = nullptr;
  if (take_permit && mapping.config().max_burst != 0) {
    identity = current_identity();
    me = &identity;
  }
  Attempt attempt;
  decide(mapping, now, me, cost, key, attempt);
  // A table full of entries that only dead processes' permits keep live
  // frees up when those come back.
  if (attempt.table_full && mapping.config().max_burst != 0 && me == nullptr) {
    identity = current_identity();
    if (reclaim_dead_slots(mapping, identity, now)) {
      attempt = Attempt();
      decide(mapping, now, me, cost, key, attempt);
    }
    return attempt;
  }
  if (me != nullptr && (attempt.burst_refused || attempt.table_full || attempt.fault == Fault::no_free_slot) &&
      reclaim_dead_slots(mapping, *me, now)) {
    attempt = Attempt();
    decide(mapping, now, me, cost, key, attempt);
  }
  return attempt;
}

Fault Segment::release_permit(const KeyRef* key) noexcept {
  Mapping& mapping = *mapping_;
  if (mapping.config().max_burst == 0) return Fault::none;
  const ProcessIdentity me = current_identity();
  SegmentLock lock(mapping);
  // Not to be had at all: no permit can be held then.
  if (!lock.held()) return lock.busy() ? Fault::lock_busy : Fault::none;
  const std::optional<Placed> placed = place(mapping, key, nanoseconds::zero(), nullptr);
  if (!placed || !return_permit(mapping, me, placed->cells)) return Fault::none;
  lock.unlock();
  wake_sleepers(mapping);
  return Fault::none;
}

Fault Segment::settle(nanoseconds decided_at, std::int64_t delta, const KeyRef* key) noexcept {
  Mapping& mapping = *mapping_;
  const SegmentLock lock(mapping);
  if (!lock.held()) return fault_of(lock);
  const std::optional<Placed> placed = place(mapping, key, decided_at, nullptr);
  if (!placed || delta == 0) return Fault::none;
  const std::uint64_t decided_second = engine::whole_seconds(decided_at);
  const std::uint64_t* cells = mapping.cells() + placed->cells.windows;
  Transaction transaction(mapping.segment(), mapping.cell_count());
  const auto windows = mapping.config().active();
  for (std::size_t i = 0; i < windows.size(); ++i) {
    const std::uint64_t start = cells[cell::window_start(i)];
    // Still the window the admission was counted in: else it rolled over,
    // and what it counted is gone with it.
    if (decided_second < start || decided_second - start >= windows[i].length_seconds) continue;
    transaction.set(placed->cells.windows + cell::window_count(i), settled(cells[cell::window_count(i)], delta));
  }
  if (!transaction.empty()) transaction.commit();
  return Fault::none;
}

std::expected<std::optional<std::uint64_t>, Fault> Segment::burst_remaining(const KeyRef* key) noexcept {
  const std::uint64_t max_burst = mapping_->config().max_burst;
  if (max_burst == 0) return std::nullopt;
  const SegmentLock lock(*mapping_);
  if (!lock.held()) return std::unexpected(fault_of(lock));
  const std::optional<Placed> placed = place(*mapping_, key, nanoseconds::zero(), nullptr);
  if (!placed) return max_burst;
  const std::uint64_t held = mapping_->cells()[placed->cells.burst];
  return held >= max_burst ? 0 : max_burst - held;
}

Fault Segment::read_windows(nanoseconds now, std::span<engine::WindowState> out, const KeyRef* key) noexcept {
  const SegmentLock lock(*mapping_);
  if (!lock.held()) return fault_of(lock);
  const std::optional<Placed> placed = place(*mapping_, key, now, nullptr);
  const Windows windows = placed ? windows_at(*mapping_, placed->cells.windows, now) : fresh_windows(*mapping_, now);
  for (std::size_t i = 0; i < std::min(windows.size, out.size()); ++i) {
    out[i].limit = mapping_->config().windows[i].limit;
    out[i].length = mapping_->config().windows[i].length_seconds;
    out[i].count = windows.at[i].count;
    out[i].window_start = windows.at[i].start;
    out[i].newer_start = windows.at[i].newer_start;
  }
  return Fault::none;
}

std::expected<std::optional<nanoseconds>, Fault> Segment::window_wait(nanoseconds now, const KeyRef* key) noexcept {
  const SegmentLock lock(*mapping_);
  if (!lock.held()) return std::unexpected(fault_of(lock));
  const std::optional<Placed> placed = place(*mapping_, key, now, nullptr);
  if (!placed) return std::nullopt;
  return wait_for_full(*mapping_, windows_at(*mapping_, placed->cells.windows, now), now);
}

std::expected<Segment::KeyTableUse, Fault> Segment::key_table_use(nanoseconds now) noexcept {
  const SegmentLock lock(*mapping_);
  if (!lock.held()) return std::unexpected(fault_of(lock));
  return KeyTableUse{live_entries(*mapping_, now), mapping_->config().max_keys,
                     mapping_->cells()[cell::keys_refused]};
}

Fault Segment::wait_for_lock(nanoseconds monotonic_deadline) const noexcept {
  SegmentLock lock(*mapping_, monotonic_deadline);
  if (!lock.held()) return fault_of(lock);
  return Fault::none;
}

std::uint32_t Segment::wake_word() const noexcept { return load_wake_word(*mapping_); }

void Segment::pass_wake_on() const noexcept { shared_memory::pass_wake_on(*mapping_); }

Segment::WaitEnd Segment::wait_for_release(std::uint32_t seen, nanoseconds monotonic_deadline) const noexcept {
  return sleep_on_wake_word(*mapping_, seen, monotonic_deadline);
}

}  // namespace quellgate::shared_memory
