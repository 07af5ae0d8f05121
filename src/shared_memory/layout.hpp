#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

// The bytes of a segment, as every process of every build of this layout
// version sees them. Anything here may have been written by another process
// of the same user, so whatever is read from it is checked before use.
namespace quellgate::shared_memory::layout {

inline constexpr std::uint64_t magic = 0x716c67'7465'6d73'68ULL;  // "qlgtemsh"
inline constexpr std::uint32_t version = 3;
inline constexpr std::size_t max_windows = 4;
// Processes that hold or held burst permits at once. A slot whose process
// is alive with no permits may be taken over, so only this many live
// processes each holding a permit can fill the table.
inline constexpr std::size_t slot_count = 1024;
// A key's counts (see key_cell) whose entry is taken for it at its first
// admission: its hash, length and bytes, its windows, burst count, one
// holder, a few stale holders cleared, and a slot's 5 cells.
inline constexpr std::size_t journal_capacity = 64;
// Bounds a header's max_keys, so that the size it implies cannot overflow.
inline constexpr std::uint64_t max_key_entries = 1 << 20;

// The mutable state is one array of 64-bit cells, so a journal entry is a
// cell index that bounds-checks in one comparison.
namespace cell {
// A window's cells hold an engine::StoredWindow.
inline constexpr std::size_t window_start(std::size_t i) { return 3 * i; }
inline constexpr std::size_t window_count(std::size_t i) { return 3 * i + 1; }
inline constexpr std::size_t window_newer_start(std::size_t i) { return 3 * i + 2; }
inline constexpr std::size_t burst_in_use = 3 * max_windows;
// Admissions of a key refused for want of a free entry, since creation.
inline constexpr std::size_t keys_refused = burst_in_use + 1;
inline constexpr std::size_t first_slot = 16;
// permits: of the un-keyed count; key_permits: of every key together (each
// key's entry says how many are whose). pid 0: a free slot.
inline constexpr std::size_t slot_width = 5;
enum SlotField : std::size_t { pid, start_time, pid_namespace, permits, key_permits };
inline constexpr std::size_t slot(std::size_t index, SlotField field) {
  return first_slot + slot_width * index + field;
}
inline constexpr std::size_t count = first_slot + slot_width * slot_count;
static_assert(keys_refused < first_slot);
}  // namespace cell

// A key's entry: key_cell::width cells after the fixed cells, one per
// entry of the table (max_keys of them, fixed at creation). Its windows and
// burst count are laid out as the un-keyed ones are, from first_window.
namespace key_cell {
inline constexpr std::size_t max_key_bytes = 256;
// Processes holding one key's permits at once; with max_burst above this,
// one more process waits for a release as if the cap were reached.
inline constexpr std::size_t holders = 8;
enum Field : std::size_t {
  hash = 0,    // 0: never used; a lookup stops here
  length = 1,  // of the key, in bytes
  first_key_cell = 2,
  first_window = first_key_cell + max_key_bytes / 8,
  burst_in_use = first_window + 3 * max_windows,
  // (process slot + 1) << 32 | permits held; 0: none
  first_holder = burst_in_use + 1,
  width = first_holder + holders,
};
inline constexpr std::size_t entry(std::size_t index, std::size_t field) {
  return cell::count + width * index + field;
}
// A key's first admission with a permit, in a slot taken for it: the
// entry's hash, length and bytes, its stale holders cleared, every window
// moved, this process's holder, the burst count, the slot's cells and its
// key_permits set again.
static_assert(first_window + 3 * max_windows + holders + 1 + 1 + cell::slot_width + 1 <= journal_capacity);
}  // namespace key_cell

// Written once by the creator before the segment is published under its
// name; read once by each opener, which keeps its own checked copy.
struct Header {
  std::uint64_t magic;
  std::uint32_t version;
  std::uint32_t slot_count;
  std::uint64_t total_size;
  std::uint64_t window_count;
  std::uint64_t window_length[max_windows];
  std::uint64_t window_limit[max_windows];
  std::uint64_t max_burst;
  std::uint64_t max_keys;
};

struct JournalEntry {
  std::uint64_t cell;
  std::uint64_t value;
};

// The after-image of the section in progress. Guarded by the mutex; a
// process that takes the mutex over from a dead owner applies it when
// `pending` is set (see journal.hpp).
struct Journal {
  std::uint32_t pending;  // accessed through std::atomic_ref
  std::uint32_t size;
  JournalEntry entries[journal_capacity];
};

// The bytes of the segment's lock, sized as glibc's pthread_mutex_t on
// x86-64. Linux keeps its robust, process-shared mutex here. Windows has no
// mutex that can live in shared bytes, so its lock is a named kernel mutex
// and these bytes only hold a hint of who owns it (for messages). A segment
// is never shared between two operating systems, but the layout is the same
// on both.
inline constexpr std::size_t lock_bytes = 40;

struct Layout {
  Header header;
  alignas(64) unsigned char lock[lock_bytes];
  // Lock-free, on their own line so that releases and sleepers do not pull
  // the mutex's line around. Accessed only through std::atomic_ref.
  alignas(64) std::uint32_t wake_word;  // the futex word: bumped by every release
  std::uint32_t sleepers;               // threads in wait_for_release, of every process
  alignas(64) Journal journal;          // guarded by mutex
  // Guarded by mutex, as are the key entries right after them.
  alignas(64) std::uint64_t cells[cell::count];
};

static_assert(std::is_standard_layout_v<Layout> && std::is_trivially_copyable_v<Layout>);
static_assert(sizeof(Layout) == offsetof(Layout, cells) + sizeof(Layout::cells), "key entries follow the cells");

// The segment's bytes for a table of `max_keys` entries.
inline constexpr std::size_t size_for(std::uint64_t max_keys) {
  return sizeof(Layout) + max_keys * key_cell::width * sizeof(std::uint64_t);
}
// Every cell, fixed and keyed, as one array: the key entries continue the
// fixed cells. Reached through the bytes of the mapping, which span them
// all, not through the fixed array's type.
inline std::uint64_t* all_cells(Layout& segment) noexcept {
  return reinterpret_cast<std::uint64_t*>(reinterpret_cast<unsigned char*>(&segment) + offsetof(Layout, cells));
}
inline const std::uint64_t* all_cells(const Layout& segment) noexcept {
  return reinterpret_cast<const std::uint64_t*>(reinterpret_cast<const unsigned char*>(&segment) +
                                                offsetof(Layout, cells));
}
inline constexpr std::size_t cell_count_for(std::uint64_t max_keys) {
  return cell::count + max_keys * key_cell::width;
}
static_assert(alignof(Layout) <= 4096, "a mapping starts on a page");

}  // namespace quellgate::shared_memory::layout
