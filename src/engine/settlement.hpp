#pragma once

#include <chrono>
#include <cstdint>

#include "engine/limiter_core.hpp"

namespace quellgate::engine {

// A reservation's settlement: `delta` (its real cost less the cost it was
// admitted with) applied to the windows an admission decided at
// `decided_at` was counted in, each only while it is still the current
// window at `now`. More is added without refusal, and may go over the limit;
// less gives places back, never below 0. A window that has rolled over since
// is left alone: the places it counted went with it. A limiter with a
// CountHome settles there (CountHome::settle), on the clock of whoever
// decides; `now` is then unused.
void settle(const LimiterCore& core, std::chrono::nanoseconds decided_at, std::chrono::nanoseconds now,
            std::int64_t delta) noexcept;

}  // namespace quellgate::engine
