#pragma once

#include <chrono>
#include <cstdint>

#include "shared_memory/mapping.hpp"
#include "shared_memory/segment.hpp"

namespace quellgate::shared_memory {

// The wake word is bumped by every release, and sleepers of every process
// sleep until it moves: on Linux it is a futex shared between processes (no
// FUTEX_PRIVATE_FLAG, so the kernel keys it by the page's inode and offset
// and a wake reaches sleepers of every process, whatever address each
// mapped the segment at); on Windows, where WaitOnAddress stays within a
// process, sleepers wait on a named semaphore beside the segment, one unit
// per wake.
//
// Each process sleeps here with one thread per limiter (a release watcher,
// see homes/release_watcher.hpp), which wakes that process's own waiters, so
// a release wakes one sleeper, not every one: the process that sleeper
// belongs to tries for the permit, and passes the wake on (pass_wake_on)
// when none of its waiters is left to try.
//
// A release bumps the word and then reads the sleeper count; a sleeper
// counts itself and then reads the word. All four are sequentially
// consistent, so in their single order either the release sees the sleeper
// and wakes it, or the sleeper sees the bump and does not sleep; and the
// kernel compares the word again as it puts the sleeper to sleep (on
// Windows, the unit a wake leaves in the semaphore waits for a sleeper that
// had not begun its wait yet). An uncontended release therefore makes no
// system call. A sleeper killed in
// its sleep leaves the count raised: later releases then make a wake call
// that finds nobody, which costs time, never a lost wake.

std::uint32_t load_wake_word(const Mapping& mapping) noexcept;
// Bumps the word and wakes one sleeper.
void wake_sleepers(const Mapping& mapping) noexcept;
// Wakes one sleeper without bumping the word: for a wake whose receiver has
// nobody left to give it to.
void pass_wake_on(const Mapping& mapping) noexcept;
Segment::WaitEnd sleep_on_wake_word(const Mapping& mapping, std::uint32_t seen,
                                    std::chrono::nanoseconds monotonic_deadline) noexcept;

}  // namespace quellgate::shared_memory
