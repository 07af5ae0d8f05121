#include "shared_memory/process_slots.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

#include "shared_memory/segment_lock.hpp"
#include "shared_memory/wake.hpp"

namespace quellgate::shared_memory {
namespace {

namespace cell = layout::cell;
using cell::SlotField;
using std::chrono::nanoseconds;

// Slot cells are read with the lock held; any value may be garbage, and
// every index used here is below layout::slot_count by construction.
std::uint64_t read(const layout::Layout& segment, std::size_t slot, SlotField field) noexcept {
  return segment.cells[cell::slot(slot, field)];
}

bool owned_by(const layout::Layout& segment, std::size_t slot, const ProcessIdentity& me) noexcept {
  return read(segment, slot, SlotField::pid) == me.pid &&
         read(segment, slot, SlotField::start_time) == me.start_time &&
         read(segment, slot, SlotField::pid_namespace) == me.pid_namespace;
}

std::optional<std::size_t> own_slot(Mapping& mapping, const ProcessIdentity& me) noexcept {
  const layout::Layout& segment = mapping.segment();
  const std::size_t hint = mapping.slot_hint.load(std::memory_order_relaxed);
  if (hint < layout::slot_count && owned_by(segment, hint, me)) [[likely]] return hint;
  for (std::size_t slot = 0; slot < layout::slot_count; ++slot) {
    if (!owned_by(segment, slot, me)) continue;
    mapping.slot_hint.store(static_cast<std::uint32_t>(slot), std::memory_order_relaxed);
    return slot;
  }
  return std::nullopt;
}

// A free slot, else one whose owner holds no permits: nothing is lost by
// taking it, and a live owner finds itself another when it next needs one.
std::optional<std::size_t> takeable_slot(const layout::Layout& segment) noexcept {
  std::optional<std::size_t> idle;
  for (std::size_t slot = 0; slot < layout::slot_count; ++slot) {
    if (read(segment, slot, SlotField::pid) == 0) return slot;
    if (!idle && read(segment, slot, SlotField::permits) == 0) idle = slot;
  }
  return idle;
}

struct Holder {
  std::size_t slot;
  std::uint64_t pid;
  std::uint64_t start_time;
};

// Slots of other processes of this PID namespace that hold permits. A slot
// of this pid with another start time belongs to a process that had the pid
// before, so it is one of them.
std::vector<Holder> other_holders(layout::Layout& segment, const ProcessIdentity& me) {
  std::vector<Holder> holders;
  const SegmentLock lock(segment);
  if (!lock.held()) return holders;
  for (std::size_t slot = 0; slot < layout::slot_count; ++slot) {
    const std::uint64_t pid = read(segment, slot, SlotField::pid);
    if (pid == 0 || read(segment, slot, SlotField::permits) == 0 || owned_by(segment, slot, me) ||
        read(segment, slot, SlotField::pid_namespace) != me.pid_namespace) {
      continue;
    }
    holders.push_back(Holder{slot, pid, read(segment, slot, SlotField::start_time)});
  }
  return holders;
}

bool reclaim_due(Mapping& mapping, nanoseconds now) noexcept {
  const std::int64_t last = mapping.last_reclaim_ns.load(std::memory_order_relaxed);
  const std::int64_t interval = nanoseconds(Mapping::reclaim_interval).count();
  if (last != std::numeric_limits<std::int64_t>::min() && now.count() >= last && now.count() - last < interval) {
    return false;
  }
  mapping.last_reclaim_ns.store(now.count(), std::memory_order_relaxed);
  return true;
}

}  // namespace

PermitStaged stage_permit(Mapping& mapping, const ProcessIdentity& me, Transaction& transaction) noexcept {
  const layout::Layout& segment = mapping.segment();
  const std::uint64_t held = segment.cells[cell::burst_in_use];
  if (held >= mapping.config().max_burst) return PermitStaged::cap_reached;
  std::optional<std::size_t> slot = own_slot(mapping, me);
  if (slot) {
    const std::uint64_t permits = read(segment, *slot, SlotField::permits);
    transaction.set(cell::slot(*slot, SlotField::permits),
                    permits == std::numeric_limits<std::uint64_t>::max() ? permits : permits + 1);
  } else {
    slot = takeable_slot(segment);
    if (!slot) return PermitStaged::no_free_slot;
    transaction.set(cell::slot(*slot, SlotField::pid), me.pid);
    transaction.set(cell::slot(*slot, SlotField::start_time), me.start_time);
    transaction.set(cell::slot(*slot, SlotField::pid_namespace), me.pid_namespace);
    transaction.set(cell::slot(*slot, SlotField::permits), 1);
    mapping.slot_hint.store(static_cast<std::uint32_t>(*slot), std::memory_order_relaxed);
  }
  transaction.set(cell::burst_in_use, held + 1);
  return PermitStaged::staged;
}

PermitReturned return_permit(Mapping& mapping, const ProcessIdentity& me) noexcept {
  layout::Layout& segment = mapping.segment();
  const SegmentLock lock(segment);
  if (!lock.held()) return lock.busy() ? PermitReturned::lock_busy : PermitReturned::none_held;
  const auto slot = own_slot(mapping, me);
  if (!slot) return PermitReturned::none_held;
  const std::uint64_t permits = read(segment, *slot, SlotField::permits);
  if (permits == 0) return PermitReturned::none_held;
  const std::uint64_t held = segment.cells[cell::burst_in_use];
  Transaction transaction(segment);
  transaction.set(cell::slot(*slot, SlotField::permits), permits - 1);
  transaction.set(cell::burst_in_use, held == 0 ? 0 : held - 1);
  transaction.commit();
  return PermitReturned::returned;
}

bool reclaim_dead_slots(Mapping& mapping, const ProcessIdentity& me, nanoseconds now) {
  // Without this process's namespace, no slot can be told to be of it.
  if (me.pid_namespace == 0 || !reclaim_due(mapping, now)) return false;
  layout::Layout& segment = mapping.segment();
  std::vector<Holder> dead = other_holders(segment, me);
  std::erase_if(dead, [](const Holder& holder) { return !process_is_gone(holder.pid, holder.start_time); });
  if (dead.empty()) return false;
  SegmentLock lock(segment);
  if (!lock.held()) return false;
  bool reclaimed = false;
  for (const Holder& holder : dead) {
    // Taken back by another process meanwhile, and perhaps taken again.
    if (read(segment, holder.slot, SlotField::pid) != holder.pid ||
        read(segment, holder.slot, SlotField::start_time) != holder.start_time) {
      continue;
    }
    const std::uint64_t permits = read(segment, holder.slot, SlotField::permits);
    const std::uint64_t held = segment.cells[cell::burst_in_use];
    Transaction transaction(segment);
    transaction.set(cell::burst_in_use, held - std::min(held, permits));
    for (const SlotField field : {SlotField::pid, SlotField::start_time, SlotField::pid_namespace, SlotField::permits}) {
      transaction.set(cell::slot(holder.slot, field), 0);
    }
    transaction.commit();
    reclaimed = true;
  }
  lock.unlock();
  // Sleepers of other processes may wait for the permits that came back.
  if (reclaimed) wake_sleepers(segment);
  return reclaimed;
}

}  // namespace quellgate::shared_memory
