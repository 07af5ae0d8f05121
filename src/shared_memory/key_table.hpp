#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

#include "shared_memory/journal.hpp"
#include "shared_memory/mapping.hpp"

// The table of keys in a segment: max_keys entries after the fixed cells,
// found by the key's hash with linear probing. An entry is never deleted
// (its hash stays, so that the keys placed past it stay reachable) but is
// reused, for any key, once it counts nothing: every window it counted in
// has rolled over and it holds no permit. A live entry is never taken.
//
// A key lives within `neighbourhood` entries of where its hash points, so a
// lookup of a key not counted yet reads at most that many hashes; when none
// of those entries is free, the key is refused as if the table were full.
namespace quellgate::shared_memory {

// A key as the table looks it up: 1 to 256 bytes and their hash.
struct KeyRef {
  std::string_view bytes;
  std::uint64_t hash;
};

// FNV-1a of the bytes, never 0 (which marks an entry never used). The same
// in every build of this layout version, unlike std::hash.
std::uint64_t hash_key(std::string_view bytes) noexcept;

inline constexpr std::size_t neighbourhood = 64;

// Where a key's counts are: the un-keyed ones, or an entry's.
struct CountCells {
  std::size_t windows = 0;  // the first window's start cell; three cells a window
  std::size_t burst = layout::cell::burst_in_use;
  std::optional<std::size_t> entry;  // the entry, for a key
};
CountCells cells_of_entry(std::size_t entry) noexcept;

// With the lock held: the key's entry, if it has one; else, when `free` is
// given, an entry that may be taken for it (nothing: the table is full
// around it).
struct KeyLookup {
  std::optional<std::size_t> entry;
  std::optional<std::size_t> free;
};
KeyLookup find_key(const Mapping& mapping, const KeyRef& key, std::chrono::nanoseconds now, bool want_free) noexcept;

// Stages taking entry `entry` for `key`: its hash, length and bytes, no
// permit and no holder. Its windows are left to the admission, which
// counts them from nothing (see fresh_windows in segment.cpp).
void stage_claim(const Mapping& mapping, std::size_t entry, const KeyRef& key, Transaction& transaction) noexcept;

// For a key refused because the table is full around it: the time until
// the soonest of those entries counts nothing, when its windows say (an
// entry holding permits waits for a release: a short backoff then).
std::chrono::nanoseconds until_a_free_entry(const Mapping& mapping, const KeyRef& key,
                                            std::chrono::nanoseconds now) noexcept;

// Entries that count something at `now`: a report, which reads them all.
std::uint64_t live_entries(const Mapping& mapping, std::chrono::nanoseconds now) noexcept;

// Whether the entry counts nothing at `now`.
bool entry_is_idle(const Mapping& mapping, std::size_t entry, std::chrono::nanoseconds now) noexcept;

}  // namespace quellgate::shared_memory
