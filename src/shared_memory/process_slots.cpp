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
    if (!idle && read(segment, slot, SlotField::permits) == 0 && read(segment, slot, SlotField::key_permits) == 0) {
      idle = slot;
    }
  }
  return idle;
}

struct SlotFor {
  std::size_t index;
  bool taken_now;  // its permit counts are staged as 0, whatever the cells say
};
// `me`'s slot, taken (and staged) when it has none.
std::optional<SlotFor> slot_for(Mapping& mapping, const ProcessIdentity& me, Transaction& transaction) noexcept {
  if (auto slot = own_slot(mapping, me)) return SlotFor{*slot, false};
  const auto slot = takeable_slot(mapping.segment());
  if (!slot) return std::nullopt;
  transaction.set(cell::slot(*slot, SlotField::pid), me.pid);
  transaction.set(cell::slot(*slot, SlotField::start_time), me.start_time);
  transaction.set(cell::slot(*slot, SlotField::pid_namespace), me.pid_namespace);
  transaction.set(cell::slot(*slot, SlotField::permits), 0);
  transaction.set(cell::slot(*slot, SlotField::key_permits), 0);
  mapping.slot_hint.store(static_cast<std::uint32_t>(*slot), std::memory_order_relaxed);
  return SlotFor{*slot, true};
}

std::uint64_t plus_one(std::uint64_t value) noexcept {
  return value == std::numeric_limits<std::uint64_t>::max() ? value : value + 1;
}

// A holder cell: the slot (plus one, so that 0 is no holder) and its permits.
constexpr std::uint64_t holder_tag(std::size_t slot) noexcept { return static_cast<std::uint64_t>(slot + 1) << 32; }
constexpr std::uint64_t holder_permits(std::uint64_t holder) noexcept { return holder & 0xffff'ffffULL; }
constexpr std::uint64_t permits_mask = 0xffff'ffffULL;

struct HolderCell {
  std::optional<std::size_t> mine;   // the cell of `slot`'s holder
  std::optional<std::size_t> empty;  // a cell holding no one
};
HolderCell holder_cells(const Mapping& mapping, std::size_t entry, std::size_t slot) noexcept {
  HolderCell found;
  for (std::size_t i = 0; i < layout::key_cell::holders; ++i) {
    const std::size_t at = layout::key_cell::entry(entry, layout::key_cell::first_holder + i);
    const std::uint64_t holder = mapping.cells()[at];
    if ((holder & ~permits_mask) == holder_tag(slot)) found.mine = at;
    if (holder == 0 && !found.empty) found.empty = at;
  }
  return found;
}

// Holders have 32 bits of permits; a cap above that is never reached by
// holders, which fill first.
PermitStaged stage_key_holder(Mapping& mapping, std::size_t entry, SlotFor slot, Transaction& transaction) noexcept {
  const HolderCell cells = holder_cells(mapping, entry, slot.index);
  if (cells.mine) {
    const std::uint64_t holder = mapping.cells()[*cells.mine];
    if (holder_permits(holder) == permits_mask) return PermitStaged::cap_reached;
    transaction.set(*cells.mine, holder + 1);
  } else {
    if (!cells.empty) return PermitStaged::cap_reached;
    transaction.set(*cells.empty, holder_tag(slot.index) | 1);
  }
  const std::uint64_t key_permits = slot.taken_now ? 0 : read(mapping.segment(), slot.index, SlotField::key_permits);
  transaction.set(cell::slot(slot.index, SlotField::key_permits), plus_one(key_permits));
  return PermitStaged::staged;
}

// With the lock held: takes every holder naming `slot` out of its entry,
// one entry per transaction, so that the dead process's permits of every
// key come back before its slot is freed.
void take_back_key_permits(Mapping& mapping, std::size_t slot) noexcept {
  for (std::size_t entry = 0; entry < mapping.config().max_keys; ++entry) {
    const HolderCell cells = holder_cells(mapping, entry, slot);
    if (!cells.mine) continue;
    const std::size_t burst = layout::key_cell::entry(entry, layout::key_cell::burst_in_use);
    const std::uint64_t held = mapping.cells()[burst];
    Transaction transaction(mapping.segment(), mapping.cell_count());
    transaction.set(burst, held - std::min(held, holder_permits(mapping.cells()[*cells.mine])));
    transaction.set(*cells.mine, 0);
    transaction.commit();
  }
}

struct Holder {
  std::size_t slot;
  std::uint64_t pid;
  std::uint64_t start_time;
};

// Slots of other processes of this PID namespace that hold permits. A slot
// of this pid with another start time belongs to a process that had the pid
// before, so it is one of them.
std::vector<Holder> other_holders(Mapping& mapping, const ProcessIdentity& me) {
  std::vector<Holder> holders;
  const layout::Layout& segment = mapping.segment();
  const SegmentLock lock(mapping);
  if (!lock.held()) return holders;
  for (std::size_t slot = 0; slot < layout::slot_count; ++slot) {
    const std::uint64_t pid = read(segment, slot, SlotField::pid);
    const bool holds = read(segment, slot, SlotField::permits) != 0 || read(segment, slot, SlotField::key_permits) != 0;
    if (pid == 0 || !holds || owned_by(segment, slot, me) ||
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

PermitStaged stage_permit(Mapping& mapping, const ProcessIdentity& me, const CountCells& where,
                          Transaction& transaction) noexcept {
  const std::uint64_t held = mapping.cells()[where.burst];
  if (held >= mapping.config().max_burst) return PermitStaged::cap_reached;
  const std::optional<SlotFor> slot = slot_for(mapping, me, transaction);
  if (!slot) return PermitStaged::no_free_slot;
  if (where.entry) {
    if (const auto staged = stage_key_holder(mapping, *where.entry, *slot, transaction); staged != PermitStaged::staged) {
      return staged;
    }
  } else {
    const std::uint64_t permits = slot->taken_now ? 0 : read(mapping.segment(), slot->index, SlotField::permits);
    transaction.set(cell::slot(slot->index, SlotField::permits), plus_one(permits));
  }
  transaction.set(where.burst, held + 1);
  return PermitStaged::staged;
}

bool return_permit(Mapping& mapping, const ProcessIdentity& me, const CountCells& where) noexcept {
  const auto slot = own_slot(mapping, me);
  if (!slot) return false;
  Transaction transaction(mapping.segment(), mapping.cell_count());
  if (where.entry) {
    const HolderCell cells = holder_cells(mapping, *where.entry, *slot);
    if (!cells.mine) return false;
    const std::uint64_t holder = mapping.cells()[*cells.mine];
    if (holder_permits(holder) == 0) return false;
    transaction.set(*cells.mine, holder_permits(holder) == 1 ? 0 : holder - 1);
    const std::uint64_t key_permits = read(mapping.segment(), *slot, SlotField::key_permits);
    transaction.set(cell::slot(*slot, SlotField::key_permits), key_permits == 0 ? 0 : key_permits - 1);
  } else {
    const std::uint64_t permits = read(mapping.segment(), *slot, SlotField::permits);
    if (permits == 0) return false;
    transaction.set(cell::slot(*slot, SlotField::permits), permits - 1);
  }
  const std::uint64_t held = mapping.cells()[where.burst];
  transaction.set(where.burst, held == 0 ? 0 : held - 1);
  transaction.commit();
  return true;
}

bool reclaim_dead_slots(Mapping& mapping, const ProcessIdentity& me, nanoseconds now) {
  // Without this process's namespace, no slot can be told to be of it.
  if (me.pid_namespace == 0 || !reclaim_due(mapping, now)) return false;
  layout::Layout& segment = mapping.segment();
  std::vector<Holder> dead = other_holders(mapping, me);
  std::erase_if(dead, [](const Holder& holder) { return !process_is_gone(holder.pid, holder.start_time); });
  if (dead.empty()) return false;
  SegmentLock lock(mapping);
  if (!lock.held()) return false;
  bool reclaimed = false;
  for (const Holder& holder : dead) {
    // Taken back by another process meanwhile, and perhaps taken again.
    if (read(segment, holder.slot, SlotField::pid) != holder.pid ||
        read(segment, holder.slot, SlotField::start_time) != holder.start_time) {
      continue;
    }
    take_back_key_permits(mapping, holder.slot);
    const std::uint64_t permits = read(segment, holder.slot, SlotField::permits);
    const std::uint64_t held = segment.cells[cell::burst_in_use];
    Transaction transaction(segment, mapping.cell_count());
    transaction.set(cell::burst_in_use, held - std::min(held, permits));
    for (const SlotField field : {SlotField::pid, SlotField::start_time, SlotField::pid_namespace, SlotField::permits,
                                  SlotField::key_permits}) {
      transaction.set(cell::slot(holder.slot, field), 0);
    }
    transaction.commit();
    reclaimed = true;
  }
  lock.unlock();
  // Sleepers of other processes may wait for the permits that came back.
  if (reclaimed) wake_sleepers(mapping);
  return reclaimed;
}

}  // namespace quellgate::shared_memory
