#include <chrono>
#include <thread>

#include "engine/local_keys.hpp"

namespace quellgate::engine {
namespace {

// A thread waiting for a key's permit sleeps in slices this long, looking
// at the release count between them: no release can wake it (see
// LocalKeyHome), and a finer slice costs a waiting thread more wake-ups.
constexpr std::chrono::milliseconds release_poll_slice{2};

}  // namespace

LocalKeyHome::LocalKeyHome(LocalKeys& keys, std::string_view key)
    : keys_(keys), key_(key), hash_(KeyRef::of(key, keys.seed()).hash) {}

CountHome::Attempt LocalKeyHome::admit(std::chrono::nanoseconds now, bool take_permit, std::uint64_t cost) {
  try {
    return keys_.admit({key_, hash_}, now, take_permit, cost);
  } catch (const std::bad_alloc&) {
    // No memory for a new record: the attempt fails as a broken table's does.
    Attempt failed;
    failed.failed = true;
    return failed;
  }
}

void LocalKeyHome::settle(std::chrono::nanoseconds decided_at, std::int64_t delta) noexcept {
  keys_.settle({key_, hash_}, decided_at, delta);
}

void LocalKeyHome::release_permit() noexcept { keys_.release_permit({key_, hash_}); }

std::optional<std::uint64_t> LocalKeyHome::burst_remaining() { return keys_.burst_remaining({key_, hash_}); }

void LocalKeyHome::read_windows(std::chrono::nanoseconds now, std::span<WindowState> windows) {
  keys_.read_windows({key_, hash_}, now, windows);
}

std::optional<std::chrono::nanoseconds> LocalKeyHome::window_wait(std::chrono::nanoseconds now) {
  return keys_.window_wait({key_, hash_}, now);
}

std::uint32_t LocalKeyHome::releases_seen() const noexcept { return keys_.releases_seen(); }

// The deadline is on the monotonic clock, which steady_clock reads.
CountHome::SleepEnd LocalKeyHome::sleep_until_release(std::uint32_t seen,
                                                      std::chrono::nanoseconds monotonic_deadline) noexcept {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline{std::chrono::duration_cast<Clock::duration>(monotonic_deadline)};
  for (;;) {
    if (keys_.releases_seen() != seen) return SleepEnd::released;
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return SleepEnd::timed_out;
    std::this_thread::sleep_until(std::min(deadline, now + release_poll_slice));
  }
}

HomeFailure LocalKeyHome::failure() const { return {HomeFailure::Kind::os, "no memory for another key's counts"}; }

}  // namespace quellgate::engine
