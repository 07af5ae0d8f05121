#pragma once
#include <chrono>
#include <cstdint>

namespace quellgate::executor {

// Blocks the calling thread for at least `duration`; zero only yields the
// processor. Never returns early, never fails.
void thread_sleep(std::chrono::nanoseconds duration);

// The fallback of thread_sleep when the high-resolution path is refused: a
// sleep of whole milliseconds, rounded up so it cannot end early.
void sleep_whole_millis_rounded_up(std::chrono::nanoseconds duration);

// Milliseconds covering `duration` completely (2.5 ms -> 3 ms, 1 ns -> 1 ms).
std::uint64_t whole_millis_rounded_up(std::chrono::nanoseconds duration);

}  // namespace quellgate::executor
