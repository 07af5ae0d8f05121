#pragma once

#include <optional>

#include "engine/limiter_core.hpp"

namespace quellgate::engine {

// Takes one burst permit if fewer than max_burst are held. Always succeeds
// for a limiter without max_burst (there is nothing to take).
bool take_burst(const LimiterCore& core) noexcept;

// Gives one permit back and wakes one waiter sleeping for a permit, if any.
// Never goes below 0: more releases than acquisitions keep the count at 0
// instead of wrapping into a count that refuses forever (and wake nobody).
void release_burst(const LimiterCore& core) noexcept;

// Burst permits still free, or nothing for a limiter without max_burst.
std::optional<std::uint64_t> burst_remaining(const LimiterCore& core) noexcept;

// Owns one admitted burst permit and gives it back when destroyed, unless it
// was handed over to whoever now answers for it. Lets an admission whose
// outcome never reaches its caller return its permit. Does nothing for a
// limiter without max_burst.
class BurstPermit {
 public:
  explicit BurstPermit(const LimiterCore& core) noexcept;
  BurstPermit(BurstPermit&& other) noexcept;
  BurstPermit(const BurstPermit&) = delete;
  BurstPermit& operator=(const BurstPermit&) = delete;
  BurstPermit& operator=(BurstPermit&&) = delete;
  ~BurstPermit();

  void hand_over() noexcept;
  // False when there is nothing to give back: the limiter has no burst cap,
  // or the permit was handed over or moved away.
  bool holds_permit() const noexcept { return core_.has_value(); }

 private:
  std::optional<LimiterCore> core_;  // engaged while a permit is owned
};

}  // namespace quellgate::engine
