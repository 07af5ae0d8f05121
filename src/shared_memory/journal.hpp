#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstdint>

#include "shared_memory/layout.hpp"

namespace quellgate::shared_memory {

// One section's changes to the cells, made so that a process killed at any
// instruction leaves either none of them or a journal that completes them:
// the after-image is written and marked pending before the first cell
// changes, and unmarked after the last. Use with the segment's mutex held.
//
// The changes are kept here and only copied into the segment: what is read
// back from the segment could have been rewritten by a hostile process, and
// a cell index read back would then address memory beyond the cells.
class Transaction {
 public:
  // `cell_count`: the cells of this mapping, fixed and keyed (the mapping's
  // own checked figure, never one read from the segment).
  explicit Transaction(layout::Layout& segment, std::size_t cell_count = layout::cell::count) noexcept
      : segment_(segment), cells_(layout::all_cells(segment)), cell_count_(cell_count) {}
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // Records the new value of a cell; nothing changes until commit(). At
  // most layout::journal_capacity per transaction (a fault of this code
  // otherwise, so it is checked, not assumed).
  void set(std::size_t cell, std::uint64_t value) noexcept {
    if (size_ >= layout::journal_capacity || cell >= cell_count_) [[unlikely]] std::abort();
    changes_[size_++] = layout::JournalEntry{cell, value};
  }
  bool empty() const noexcept { return size_ == 0; }

  void commit() noexcept {
    // One aligned 64-bit store is whole or absent at any instruction a
    // process dies at, so a change of one cell (an admission within the
    // window of a one-window limiter) needs no after-image.
    if (size_ == 1) [[likely]] {
      std::atomic_ref<std::uint64_t>(cells_[changes_[0].cell]).store(changes_[0].value,
                                                                             std::memory_order_relaxed);
      return;
    }
    write_journal();
    apply_journal();
  }
  // The two halves of commit, apart only so that a test can die between
  // them. Inline, as they are most of an admission after the lock.
  //
  // The only reader that can see the order of these stores is a process
  // that takes the mutex over after this one died at some instruction. A
  // thread dies between instructions, and every store it made before that
  // point reaches memory (the kernel's takeover of the robust mutex is a
  // full barrier), so what must hold is program order at the instruction
  // level: a compiler fence, which costs nothing at run time. Other
  // processes read the journal only under the mutex, so the flag needs no
  // stronger order than relaxed.
  void write_journal() noexcept {
    for (std::uint32_t i = 0; i < size_; ++i) segment_.journal.entries[i] = changes_[i];
    segment_.journal.size = size_;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    pending().store(1, std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
  }
  void apply_journal() noexcept {
    for (std::uint32_t i = 0; i < size_; ++i) cells_[changes_[i].cell] = changes_[i].value;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    pending().store(0, std::memory_order_relaxed);
  }

 private:
  std::atomic_ref<std::uint32_t> pending() const noexcept {
    return std::atomic_ref<std::uint32_t>(segment_.journal.pending);
  }

  layout::Layout& segment_;
  std::uint64_t* cells_;
  std::size_t cell_count_;
  layout::JournalEntry changes_[layout::journal_capacity];  // the first size_ are set
  std::uint32_t size_ = 0;
};

// Completes a pending journal left by a dead owner of the mutex. Entries
// that name no cell of the `cell_count` are skipped, and a size beyond the
// capacity discards the journal: it cannot have been written by this code.
void roll_forward(layout::Layout& segment, std::size_t cell_count) noexcept;

}  // namespace quellgate::shared_memory
