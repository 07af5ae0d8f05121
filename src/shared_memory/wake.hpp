#pragma once

#include <chrono>
#include <cstdint>

#include "shared_memory/layout.hpp"
#include "shared_memory/segment.hpp"

namespace quellgate::shared_memory {

// The wake word is a futex shared between processes: no FUTEX_PRIVATE_FLAG,
// so the kernel keys it by the page's inode and offset and a wake reaches
// sleepers of every process, whatever address each mapped the segment at.
//
// A release bumps the word and then reads the sleeper count; a sleeper
// counts itself and then reads the word. All four are sequentially
// consistent, so in their single order either the release sees the sleeper
// and wakes it, or the sleeper sees the bump and does not sleep; and the
// kernel compares the word again as it puts the sleeper to sleep. An
// uncontended release therefore makes no system call. A sleeper killed in
// its sleep leaves the count raised: later releases then make a wake call
// that finds nobody, which costs time, never a lost wake.

std::uint32_t load_wake_word(layout::Layout& segment) noexcept;
void wake_sleepers(layout::Layout& segment) noexcept;
Segment::WaitEnd sleep_on_wake_word(layout::Layout& segment, std::uint32_t seen,
                                    std::chrono::nanoseconds monotonic_deadline) noexcept;

}  // namespace quellgate::shared_memory
