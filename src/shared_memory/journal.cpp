#include "shared_memory/journal.hpp"

#include <atomic>

namespace quellgate::shared_memory {
namespace {

// See Transaction::write_journal for why compiler fences order these.
void keep_order() noexcept { std::atomic_signal_fence(std::memory_order_seq_cst); }

void apply_entries(layout::Layout& segment, std::uint32_t size, std::size_t cell_count) noexcept {
  std::uint64_t* cells = layout::all_cells(segment);
  for (std::uint32_t i = 0; i < size; ++i) {
    const layout::JournalEntry entry = segment.journal.entries[i];
    if (entry.cell < cell_count) cells[entry.cell] = entry.value;
  }
}

}  // namespace

void roll_forward(layout::Layout& segment, std::size_t cell_count) noexcept {
  std::atomic_ref<std::uint32_t> pending(segment.journal.pending);
  if (pending.load(std::memory_order_relaxed) == 0) return;
  const std::uint32_t size = segment.journal.size;
  if (size <= layout::journal_capacity) apply_entries(segment, size, cell_count);
  keep_order();
  pending.store(0, std::memory_order_relaxed);
}

}  // namespace quellgate::shared_memory
