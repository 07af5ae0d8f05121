#pragma once

#include <cstdint>

namespace quellgate::engine {

// Waiting is polling: a waiter sleeps one step of a fixed schedule and tries
// again. Attempts past the end of a schedule keep its last step.

// Steps of a wait for a burst permit, or for a window whose rollover time is
// unknown: 10, 20, 40, 80, then 100 ms for good.
std::uint32_t short_backoff_ms(std::uint64_t attempt) noexcept;

// Upper bound of a step while a full window rolls over: 10 ms doubling up to
// 10240 ms. The loop also caps a step at the known time left.
std::uint32_t long_backoff_ms(std::uint64_t attempt) noexcept;

}  // namespace quellgate::engine
