#include "engine/backoff.hpp"

#include <algorithm>

namespace quellgate::engine {
namespace {

constexpr std::uint32_t first_step_ms = 10;
constexpr std::uint32_t short_step_cap_ms = 100;
constexpr std::uint64_t short_doublings = 6;
constexpr std::uint64_t long_doublings = 10;

std::uint32_t doubled(std::uint64_t attempt, std::uint64_t max_doublings) noexcept {
  return first_step_ms << std::min(attempt, max_doublings);
}

}  // namespace

std::uint32_t short_backoff_ms(std::uint64_t attempt) noexcept {
  return std::min(doubled(attempt, short_doublings), short_step_cap_ms);
}

std::uint32_t long_backoff_ms(std::uint64_t attempt) noexcept {
  return doubled(attempt, long_doublings);
}

}  // namespace quellgate::engine
