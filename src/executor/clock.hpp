#pragma once
#include <chrono>

namespace quellgate::executor {

// Monotonic instant as a duration since an unspecified origin; never goes back.
// Sleeps, timers and wait measurements use it.
std::chrono::nanoseconds monotonic_now();

// Wall-clock time since the Unix epoch, the time base of window accounting.
// A clock set before 1970 reads as zero.
std::chrono::nanoseconds wall_now();

// The wall reading for a raw (seconds, nanoseconds) pair: negative times clamp
// to zero rather than wrapping, since windows are counted from the epoch.
std::chrono::nanoseconds wall_reading_from(long long seconds, long nanos);

}  // namespace quellgate::executor
