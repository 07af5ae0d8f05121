#include "shared_memory/journal.hpp"

#include <atomic>
#include <cstdlib>

namespace quellgate::shared_memory {
namespace {

// The only reader that can see the order of these stores is a process that
// takes the mutex over after this one died at some instruction. A thread
// dies between instructions, and every store it made before that point
// reaches memory (the kernel's takeover of the robust mutex is a full
// barrier), so what must hold is program order at the instruction level:
// a compiler fence, which costs nothing at run time. Other processes read
// the journal only under the mutex, so the flag needs no stronger order.
void keep_order() noexcept { std::atomic_signal_fence(std::memory_order_seq_cst); }

std::atomic_ref<std::uint32_t> pending_flag(layout::Layout& segment) noexcept {
  return std::atomic_ref<std::uint32_t>(segment.journal.pending);
}

void apply_entries(layout::Layout& segment, std::uint32_t size) noexcept {
  for (std::uint32_t i = 0; i < size; ++i) {
    const layout::JournalEntry entry = segment.journal.entries[i];
    if (entry.cell < layout::cell::count) segment.cells[entry.cell] = entry.value;
  }
}

}  // namespace

void Transaction::set(std::size_t cell, std::uint64_t value) noexcept {
  if (size_ >= layout::journal_capacity || cell >= layout::cell::count) std::abort();
  segment_.journal.entries[size_++] = layout::JournalEntry{cell, value};
}

void Transaction::write_journal() noexcept {
  segment_.journal.size = size_;
  keep_order();
  pending_flag(segment_).store(1, std::memory_order_relaxed);
  keep_order();
}

void Transaction::apply_journal() noexcept {
  apply_entries(segment_, size_);
  keep_order();
  pending_flag(segment_).store(0, std::memory_order_relaxed);
}

void roll_forward(layout::Layout& segment) noexcept {
  if (pending_flag(segment).load(std::memory_order_relaxed) == 0) return;
  const std::uint32_t size = segment.journal.size;
  if (size <= layout::journal_capacity) apply_entries(segment, size);
  keep_order();
  pending_flag(segment).store(0, std::memory_order_relaxed);
}

}  // namespace quellgate::shared_memory
