#include "shared_memory/key_table.hpp"

#include <algorithm>
#include <cstring>

#include "engine/report.hpp"
#include "engine/window.hpp"

namespace quellgate::shared_memory {
namespace {

namespace key_cell = layout::key_cell;

std::uint64_t read(const Mapping& mapping, std::size_t entry, std::size_t field) noexcept {
  return mapping.cells()[key_cell::entry(entry, field)];
}

// The key's bytes as the cells hold them: whole cells, the last padded with
// zeros, so that a comparison reads no byte that was not written for a key.
std::uint64_t key_cell_value(std::string_view bytes, std::size_t cell) noexcept {
  std::uint64_t value = 0;
  const std::size_t from = cell * 8;
  std::memcpy(&value, bytes.data() + from, std::min<std::size_t>(8, bytes.size() - from));
  return value;
}

std::size_t key_cells(std::size_t length) noexcept { return (length + 7) / 8; }

bool holds_key(const Mapping& mapping, std::size_t entry, const KeyRef& key) noexcept {
  if (read(mapping, entry, key_cell::hash) != key.hash || read(mapping, entry, key_cell::length) != key.bytes.size()) {
    return false;
  }
  for (std::size_t cell = 0; cell < key_cells(key.bytes.size()); ++cell) {
    if (read(mapping, entry, key_cell::first_key_cell + cell) != key_cell_value(key.bytes, cell)) return false;
  }
  return true;
}

}  // namespace

std::uint64_t hash_key(std::string_view bytes) noexcept {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  return hash == 0 ? 1 : hash;
}

CountCells cells_of_entry(std::size_t entry) noexcept {
  return {key_cell::entry(entry, key_cell::first_window), key_cell::entry(entry, key_cell::burst_in_use), entry};
}

bool entry_is_idle(const Mapping& mapping, std::size_t entry, std::chrono::nanoseconds now) noexcept {
  if (read(mapping, entry, key_cell::burst_in_use) != 0) return false;
  const auto windows = mapping.config().active();
  for (std::size_t i = 0; i < windows.size(); ++i) {
    const std::size_t first = key_cell::first_window + 3 * i;
    const engine::StoredWindow stored{read(mapping, entry, first), read(mapping, entry, first + 1),
                                      read(mapping, entry, first + 2)};
    if (engine::window_position(windows[i].length_seconds, stored, now).count != 0) return false;
  }
  return true;
}

namespace {

constexpr std::chrono::milliseconds table_full_backoff{10};

// Until every window of the entry that still counts has rolled over;
// nothing while it holds a permit.
std::optional<std::chrono::nanoseconds> until_idle(const Mapping& mapping, std::size_t entry,
                                                   std::chrono::nanoseconds now) noexcept {
  if (read(mapping, entry, key_cell::burst_in_use) != 0) return std::nullopt;
  std::chrono::nanoseconds longest{0};
  const auto windows = mapping.config().active();
  for (std::size_t i = 0; i < windows.size(); ++i) {
    const std::size_t first = key_cell::first_window + 3 * i;
    const engine::StoredWindow at = engine::window_position(
        windows[i].length_seconds,
        {read(mapping, entry, first), read(mapping, entry, first + 1), read(mapping, entry, first + 2)}, now);
    if (at.count == 0) continue;
    longest = std::max(longest, engine::until_window_end(at.start, windows[i].length_seconds, now));
  }
  return longest;
}

}  // namespace

std::chrono::nanoseconds until_a_free_entry(const Mapping& mapping, const KeyRef& key,
                                            std::chrono::nanoseconds now) noexcept {
  const std::uint64_t size = mapping.config().max_keys;
  std::optional<std::chrono::nanoseconds> soonest;
  for (std::size_t step = 0; size != 0 && step < std::min<std::uint64_t>(size, neighbourhood); ++step) {
    const auto wait = until_idle(mapping, (key.hash % size + step) % size, now);
    if (wait && (!soonest || *wait < *soonest)) soonest = wait;
  }
  return std::max<std::chrono::nanoseconds>(soonest.value_or(table_full_backoff), std::chrono::milliseconds(1));
}

std::uint64_t live_entries(const Mapping& mapping, std::chrono::nanoseconds now) noexcept {
  std::uint64_t live = 0;
  for (std::size_t entry = 0; entry < mapping.config().max_keys; ++entry) {
    if (read(mapping, entry, key_cell::hash) != 0 && !entry_is_idle(mapping, entry, now)) ++live;
  }
  return live;
}

KeyLookup find_key(const Mapping& mapping, const KeyRef& key, std::chrono::nanoseconds now, bool want_free) noexcept {
  KeyLookup found;
  const std::uint64_t size = mapping.config().max_keys;
  if (size == 0) return found;
  const std::size_t home = key.hash % size;
  for (std::size_t step = 0; step < std::min<std::uint64_t>(size, neighbourhood); ++step) {
    const std::size_t entry = (home + step) % size;
    const std::uint64_t hash = read(mapping, entry, key_cell::hash);
    if (hash == 0) {
      // Never used: no key was ever placed past it, so this key is not there.
      if (want_free && !found.free) found.free = entry;
      break;
    }
    if (hash == key.hash && holds_key(mapping, entry, key)) {
      found.entry = entry;
      return found;
    }
    if (want_free && !found.free && entry_is_idle(mapping, entry, now)) found.free = entry;
  }
  return found;
}

void stage_claim(const Mapping& mapping, std::size_t entry, const KeyRef& key, Transaction& transaction) noexcept {
  transaction.set(key_cell::entry(entry, key_cell::hash), key.hash);
  transaction.set(key_cell::entry(entry, key_cell::length), key.bytes.size());
  for (std::size_t cell = 0; cell < key_cells(key.bytes.size()); ++cell) {
    transaction.set(key_cell::entry(entry, key_cell::first_key_cell + cell), key_cell_value(key.bytes, cell));
  }
  // An idle entry holds no permit, so its holders should be empty; any
  // that is not (a process that wrote the segment) is cleared with it.
  for (std::size_t holder = 0; holder < key_cell::holders; ++holder) {
    if (read(mapping, entry, key_cell::first_holder + holder) != 0) {
      transaction.set(key_cell::entry(entry, key_cell::first_holder + holder), 0);
    }
  }
}

}  // namespace quellgate::shared_memory
