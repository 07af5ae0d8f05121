#pragma once

#include <cstddef>
#include <cstdint>

#include "shared_memory/layout.hpp"

namespace quellgate::shared_memory {

// One section's changes to the cells, made so that a process killed at any
// instruction leaves either none of them or a journal that completes them:
// the after-image is written and marked pending before the first cell
// changes, and unmarked after the last. Use with the segment's mutex held.
class Transaction {
 public:
  explicit Transaction(layout::Layout& segment) noexcept : segment_(segment) {}
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // Records the new value of a cell; nothing changes until commit(), and a
  // transaction dropped uncommitted leaves no trace (the next one
  // overwrites its entries before it marks any pending). At
  // most layout::journal_capacity per transaction (a fault of this code
  // otherwise, so it is checked, not assumed).
  void set(std::size_t cell, std::uint64_t value) noexcept;
  bool empty() const noexcept { return size_ == 0; }

  void commit() noexcept {
    write_journal();
    apply_journal();
  }
  // The two halves of commit, apart only so that a test can die between them.
  void write_journal() noexcept;
  void apply_journal() noexcept;

 private:
  layout::Layout& segment_;
  std::uint32_t size_ = 0;
};

// Completes a pending journal left by a dead owner of the mutex. Entries
// that name no cell are skipped, and a size beyond the capacity discards
// the journal: it cannot have been written by this code.
void roll_forward(layout::Layout& segment) noexcept;

}  // namespace quellgate::shared_memory
