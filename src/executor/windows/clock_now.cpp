#include <windows.h>

#include <cstdint>

#include "executor/clock.hpp"

namespace quellgate::executor {

namespace {

// Fixed at boot; asked once. QueryPerformanceCounter cannot fail on Windows XP
// and later.
std::int64_t counter_frequency() {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return frequency.QuadPart;
}

const std::int64_t ticks_per_second = counter_frequency();

// 100-ns intervals between 1601-01-01 (FILETIME's origin) and 1970-01-01.
constexpr std::int64_t kUnixEpochAsFileTime = 116'444'736'000'000'000;

}  // namespace

std::chrono::nanoseconds monotonic_now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  // Whole seconds and the rest apart, so that a counter running at 10 MHz or
  // 3 GHz converts without overflowing for centuries of uptime.
  const std::int64_t seconds = now.QuadPart / ticks_per_second;
  const std::int64_t rest = now.QuadPart % ticks_per_second;
  return std::chrono::seconds(seconds) + std::chrono::nanoseconds(rest * 1'000'000'000 / ticks_per_second);
}

std::chrono::nanoseconds wall_now() {
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  const std::int64_t since_1601 =
      static_cast<std::int64_t>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
  const std::int64_t since_epoch = since_1601 - kUnixEpochAsFileTime;
  // Floor division, so that a clock set before 1970 is negative and clamps.
  std::int64_t seconds = since_epoch / 10'000'000;
  std::int64_t rest = since_epoch % 10'000'000;
  if (rest < 0) {
    --seconds;
    rest += 10'000'000;
  }
  return wall_reading_from(seconds, static_cast<long>(rest * 100));
}

}  // namespace quellgate::executor
