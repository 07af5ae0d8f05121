#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

// The bytes of a segment, as every process of every build of this layout
// version sees them. Anything here may have been written by another process
// of the same user, so whatever is read from it is checked before use.
namespace quellgate::shared_memory::layout {

inline constexpr std::uint64_t magic = 0x716c67'7465'6d73'68ULL;  // "qlgtemsh"
inline constexpr std::uint32_t version = 2;
inline constexpr std::size_t max_windows = 4;
// Processes that hold or held burst permits at once. A slot whose process
// is alive with no permits may be taken over, so only this many live
// processes each holding a permit can fill the table.
inline constexpr std::size_t slot_count = 1024;
// An admission changes at most 3 cells per window, the burst count and a
// slot's 4 cells.
inline constexpr std::size_t journal_capacity = 20;

// The mutable state is one array of 64-bit cells, so a journal entry is a
// cell index that bounds-checks in one comparison.
namespace cell {
// A window's cells hold an engine::StoredWindow.
inline constexpr std::size_t window_start(std::size_t i) { return 3 * i; }
inline constexpr std::size_t window_count(std::size_t i) { return 3 * i + 1; }
inline constexpr std::size_t window_newer_start(std::size_t i) { return 3 * i + 2; }
inline constexpr std::size_t burst_in_use = 3 * max_windows;
inline constexpr std::size_t first_slot = 16;
inline constexpr std::size_t slot_width = 4;
enum SlotField : std::size_t { pid, start_time, pid_namespace, permits };  // pid 0: a free slot
inline constexpr std::size_t slot(std::size_t index, SlotField field) {
  return first_slot + slot_width * index + field;
}
inline constexpr std::size_t count = first_slot + slot_width * slot_count;
static_assert(burst_in_use < first_slot);
static_assert(3 * max_windows + 1 + slot_width <= journal_capacity);
}  // namespace cell

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

struct Layout {
  Header header;
  alignas(64) pthread_mutex_t mutex;  // robust, process-shared
  // Lock-free, on their own line so that releases and sleepers do not pull
  // the mutex's line around. Accessed only through std::atomic_ref.
  alignas(64) std::uint32_t wake_word;  // the futex word: bumped by every release
  std::uint32_t sleepers;               // threads in wait_for_release, of every process
  alignas(64) Journal journal;          // guarded by mutex
  std::uint64_t cells[cell::count];     // guarded by mutex
};

static_assert(std::is_standard_layout_v<Layout> && std::is_trivially_copyable_v<Layout>);
static_assert(alignof(Layout) <= 4096, "mmap gives page alignment");

}  // namespace quellgate::shared_memory::layout
