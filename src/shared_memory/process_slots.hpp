#pragma once

#include <chrono>

#include "shared_memory/journal.hpp"
#include "shared_memory/mapping.hpp"
#include "shared_memory/process_identity.hpp"

namespace quellgate::shared_memory {

// Each process that takes burst permits has a slot: who it is and how many
// permits it holds, so that a dead one's permits can be taken back. A
// process keeps its slot while it lives; a slot of a live process holding no
// permits may be taken over when no slot is free (its owner finds another).

enum class PermitStaged { staged, cap_reached, no_free_slot };

// With the lock held: stages one more permit in `me`'s slot (taking a slot
// if it has none) and in the burst count, when the cap allows.
PermitStaged stage_permit(Mapping& mapping, const ProcessIdentity& me, Transaction& transaction) noexcept;

// Gives back one permit of `me`'s, if it holds any; tries the lock itself
// and does nothing when another thread holds it (lock_busy).
enum class PermitReturned { returned, none_held, lock_busy };
PermitReturned return_permit(Mapping& mapping, const ProcessIdentity& me) noexcept;

// Takes back the permits of processes of this PID namespace that are gone,
// probing them with the lock released. At most one look per mapping every
// Mapping::reclaim_interval of `now`. True when any came back.
bool reclaim_dead_slots(Mapping& mapping, const ProcessIdentity& me, std::chrono::nanoseconds now);

}  // namespace quellgate::shared_memory
