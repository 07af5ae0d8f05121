#pragma once

#include <chrono>

#include "shared_memory/journal.hpp"
#include "shared_memory/key_table.hpp"
#include "shared_memory/mapping.hpp"
#include "shared_memory/process_identity.hpp"

namespace quellgate::shared_memory {

// Each process that takes burst permits has a slot: who it is and how many
// permits it holds, so that a dead one's permits can be taken back. A
// process keeps its slot while it lives; a slot of a live process holding no
// permits may be taken over when no slot is free (its owner finds another).

//
// A key's permits are counted three times, in one transaction each time:
// in the key's entry (its burst count), in one of the entry's holders (this
// process's slot and how many it holds there), and in the slot's
// key_permits. The slot is kept while key_permits is not 0, so a holder's
// slot always names its process; when that process is gone, every holder
// naming its slot is taken out of its entry before the slot is freed, and a
// death in the middle leaves the slot for the next look to finish.

enum class PermitStaged { staged, cap_reached, no_free_slot };

// With the lock held: stages one more permit in `me`'s slot (taking a slot
// if it has none) and in the burst count of `where` (the un-keyed count, or
// a key's entry), when the cap allows. A key's entry whose holders are all
// other processes' refuses as its cap would.
PermitStaged stage_permit(Mapping& mapping, const ProcessIdentity& me, const CountCells& where,
                          Transaction& transaction) noexcept;

// With the lock held: gives back one permit of `me`'s in `where`, if it
// holds any there; false if not.
bool return_permit(Mapping& mapping, const ProcessIdentity& me, const CountCells& where) noexcept;

// Takes back the permits of processes of this PID namespace that are gone,
// probing them with the lock released. At most one look per mapping every
// Mapping::reclaim_interval of `now`. True when any came back.
bool reclaim_dead_slots(Mapping& mapping, const ProcessIdentity& me, std::chrono::nanoseconds now);

}  // namespace quellgate::shared_memory
