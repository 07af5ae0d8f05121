#pragma once

#include <chrono>
#include <cstdint>

#include "engine/limits.hpp"

namespace quellgate::engine::testing {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;

// A wall clock the test moves by hand.
struct FakeClock {
  nanoseconds now{};
  nanoseconds operator()() const { return now; }
  void advance(nanoseconds by) { now += by; }
};

// 2024-01-01 at the given UTC time of day.
constexpr nanoseconds utc(int hours, int minutes, int seconds, nanoseconds extra = nanoseconds::zero()) {
  constexpr std::chrono::seconds new_year_2024{1'704'067'200};
  return new_year_2024 + std::chrono::hours(hours) + std::chrono::minutes(minutes) +
         std::chrono::seconds(seconds) + extra;
}

inline LimiterCore make_core(const LimitArgs& args) { return make_limiter_core(args).value(); }

}  // namespace quellgate::engine::testing
