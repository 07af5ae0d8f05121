#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>

#include "engine/count_home.hpp"
#include "engine/window.hpp"
#include "engine/window_table.hpp"
#include "engine/zeroed_words.hpp"

namespace quellgate::engine {

// A key as the table looks it up: its bytes, and their hash, computed once
// by whoever holds the key rather than on every call.
struct KeyRef {
  std::string_view bytes;  // 1 to 256 bytes
  std::uint32_t hash;

  // `seed`: the table's own (LocalKeys::seed), so that which keys share a
  // probe run cannot be worked out ahead from their bytes.
  static KeyRef of(std::string_view bytes, std::uint64_t seed) noexcept;
};

// The counts of every key of one in-process limiter: per key, its windows
// (configured as the limiter's) and the burst permits it holds.
//
// A million keys must stay cheap, so there is no object per key: one array
// of fixed-size records, open addressing with linear probing, a key of up to
// 16 bytes stored in its record and a longer one in one allocation of its
// own. A record holds nothing worth keeping once every window it counted in
// has rolled over and it holds no permit, and is then dropped: a few records
// are looked at on every insert, and the whole array is let go at once when
// the last window anything was counted in has rolled over and no permit is
// held (so a flood of keys gives its memory back at the next call after its
// window). The array is rebuilt, idle records left out, when it is three
// quarters full (it grows) or an eighth full (it shrinks).
//
// One lock guards the whole table. It is held for arithmetic on one record
// (and, rarely, a rebuild), never across a sleep or while waiting for the
// interpreter lock; nothing else is taken while it is held.
class LocalKeys {
 public:
  LocalKeys(std::span<const WindowState> windows, std::optional<std::uint64_t> max_burst);
  ~LocalKeys();
  LocalKeys(const LocalKeys&) = delete;
  LocalKeys& operator=(const LocalKeys&) = delete;

  // CountHome's calls, for one key (see count_home.hpp).
  CountHome::Attempt admit(KeyRef key, std::chrono::nanoseconds now, bool take_permit, std::uint64_t cost);
  void settle(KeyRef key, std::chrono::nanoseconds decided_at, std::int64_t delta) noexcept;
  void release_permit(KeyRef key) noexcept;
  std::optional<std::uint64_t> burst_remaining(KeyRef key);
  void read_windows(KeyRef key, std::chrono::nanoseconds now, std::span<WindowState> windows);
  std::optional<std::chrono::nanoseconds> window_wait(KeyRef key, std::chrono::nanoseconds now);

  // Moved by every release of any key: a waiter for a permit polls, and a
  // release lets it try at once instead of at the end of its step.
  // Relaxed: it orders nothing, a waiter only compares it.
  std::uint32_t releases_seen() const noexcept { return releases_.load(std::memory_order_relaxed); }

  std::uint64_t seed() const noexcept { return seed_; }

  // Records held now, and how many the array has room for.
  std::size_t live() const;
  std::size_t capacity() const;

  // For fork(): the lock held across it; in the child, whose threads are
  // gone, every permit is free again, as for the limiter's own count.
  void lock_for_fork() noexcept { mutex_.lock(); }
  void unlock_after_fork() noexcept { mutex_.unlock(); }
  void free_permits_in_child() noexcept;

 private:
  struct Found;
  std::uint64_t* record(std::size_t slot) const noexcept;
  std::optional<std::size_t> find(KeyRef key) const noexcept;
  std::size_t insert(KeyRef key, std::chrono::nanoseconds now);
  void erase(std::size_t slot) noexcept;
  bool idle(const std::uint64_t* rec, std::uint64_t now_secs) const noexcept;
  void sweep_some(std::uint64_t now_secs) noexcept;
  void drop_all() noexcept;
  void rebuild(std::uint64_t now_secs);
  void note_counted(const std::uint64_t* rec) noexcept;

  struct WindowConfig {
    std::uint64_t limit;
    std::uint64_t length;
  };
  std::array<WindowConfig, max_windows> windows_{};  // fixed at construction
  std::size_t window_count_;                         // fixed at construction
  std::uint64_t permit_cap_;                         // 0: no max_burst; fixed
  std::size_t stride_;                               // words per record; fixed
  std::uint64_t seed_;                               // fixed

  mutable std::mutex mutex_;
  ZeroedWords slots_;                                // guarded by mutex_
  std::size_t capacity_ = 0;                         // a power of two, or 0; guarded by mutex_
  std::size_t live_ = 0;                             // guarded by mutex_
  std::size_t sweep_at_ = 0;                         // guarded by mutex_
  std::uint64_t permits_held_ = 0;                   // over every key; guarded by mutex_
  // The second by which every window anything was counted in has rolled
  // over; guarded by mutex_.
  std::uint64_t quiet_from_ = 0;
  std::atomic<std::uint32_t> releases_{0};
};

// The home of one key of an in-process limiter: its counts in the limiter's
// LocalKeys. Cheap to make (the key's bytes and hash); nothing is stored in
// the table until the key is counted. A waiter for one of its permits polls
// on its backoff (watches_releases() is false): the limiter's waiter list is
// shared by every key, and a release of one key must not use up the wake of
// another's waiter.
class LocalKeyHome final : public CountHome {
 public:
  LocalKeyHome(LocalKeys& keys, std::string_view key);

  Attempt admit(std::chrono::nanoseconds now, bool take_permit, std::uint64_t cost) override;
  void settle(std::chrono::nanoseconds decided_at, std::int64_t delta) noexcept override;
  void release_permit() noexcept override;
  std::optional<std::uint64_t> burst_remaining() override;
  void read_windows(std::chrono::nanoseconds now, std::span<WindowState> windows) override;
  std::optional<std::chrono::nanoseconds> window_wait(std::chrono::nanoseconds now) override;
  std::uint32_t releases_seen() const noexcept override;
  SleepEnd sleep_until_release(std::uint32_t seen, std::chrono::nanoseconds monotonic_deadline) noexcept override;
  void watch_releases_for(const LimiterCore&, std::uint32_t) override {}
  HomeFailure failure() const override;

 private:
  LocalKeys& keys_;  // lives as long as the limiter state that every core holding this home holds
  std::string key_;
  std::uint32_t hash_;
};

}  // namespace quellgate::engine
