#include "engine/local_keys.hpp"
#include "engine/report.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <random>

namespace quellgate::engine {
namespace {

using std::chrono::nanoseconds;

// A record, in 64-bit words: the hash and the key's length (0: an empty
// slot), the permits held, the key (inline up to 16 bytes, else a pointer
// to its own allocation), then start, count and newer start of each window.
constexpr std::size_t header_words = 4;
constexpr std::size_t inline_key_bytes = 16;
constexpr std::size_t words_per_window = 3;
constexpr std::size_t min_capacity = 16;
// Records looked at for dropping on every insert of a new key. With k
// looks, idle records settle at about 1/k of the array under steady churn;
// above 8 the array can shrink (see LocalKeys::insert).
constexpr std::size_t sweep_per_insert = 16;
constexpr nanoseconds min_wait = std::chrono::milliseconds(1);

std::uint32_t hash_of(const std::uint64_t* rec) noexcept { return static_cast<std::uint32_t>(rec[0]); }
std::size_t key_length(const std::uint64_t* rec) noexcept { return static_cast<std::size_t>((rec[0] >> 32) & 0xffff); }
bool occupied(const std::uint64_t* rec) noexcept { return key_length(rec) != 0; }

const char* key_bytes(const std::uint64_t* rec) noexcept {
  if (key_length(rec) <= inline_key_bytes) return reinterpret_cast<const char*>(rec + 2);
  return reinterpret_cast<const char*>(rec[2]);
}

StoredWindow stored(const std::uint64_t* rec, std::size_t i) noexcept {
  const std::uint64_t* w = rec + header_words + i * words_per_window;
  return {w[0], w[1], w[2]};
}

void store(std::uint64_t* rec, std::size_t i, StoredWindow window) noexcept {
  std::uint64_t* w = rec + header_words + i * words_per_window;
  w[0] = window.start;
  w[1] = window.count;
  w[2] = window.newer_start;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  return b > std::numeric_limits<std::uint64_t>::max() - a ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

// The second from which a window's count can never be read again: it and
// the interval it was moved back from have both rolled over.
std::uint64_t quiet_after(StoredWindow window, std::uint64_t length) noexcept {
  return saturating_add(std::max(window.start, window.newer_start), length);
}

// Time from `now` to the end of a window starting at `start`, at least 1 ms.
nanoseconds until_end(std::uint64_t start, std::uint64_t length, nanoseconds now) noexcept {
  return std::max(until_window_end(start, length, now), min_wait);
}

}  // namespace

// The standard hash, then the seed and a finalizer that spreads every bit
// of it (splitmix64's), so that the index bits depend on all 64.
KeyRef KeyRef::of(std::string_view bytes, std::uint64_t seed) noexcept {
  std::uint64_t h = std::hash<std::string_view>{}(bytes) ^ seed;
  h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ULL;
  h = (h ^ (h >> 27)) * 0x94d049bb133111ebULL;
  h ^= h >> 31;
  return {bytes, static_cast<std::uint32_t>(h)};
}

LocalKeys::LocalKeys(std::span<const WindowState> windows, std::optional<std::uint64_t> max_burst)
    : window_count_(std::min(windows.size(), max_windows)),
      permit_cap_(max_burst.value_or(0)),
      stride_(header_words + words_per_window * std::min(windows.size(), max_windows)),
      seed_((static_cast<std::uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}()) {
  for (std::size_t i = 0; i < window_count_; ++i) windows_[i] = {windows[i].limit, windows[i].length};
}

LocalKeys::~LocalKeys() { drop_all(); }

std::uint64_t* LocalKeys::record(std::size_t slot) const noexcept { return slots_.get() + slot * stride_; }

std::optional<std::size_t> LocalKeys::find(KeyRef key) const noexcept {
  if (capacity_ == 0) return std::nullopt;
  const std::size_t mask = capacity_ - 1;
  const std::uint64_t header = key.hash | (static_cast<std::uint64_t>(key.bytes.size()) << 32);
  for (std::size_t slot = key.hash & mask;; slot = (slot + 1) & mask) {
    const std::uint64_t* rec = record(slot);
    if (!occupied(rec)) return std::nullopt;
    if (rec[0] == header && std::memcmp(key_bytes(rec), key.bytes.data(), key.bytes.size()) == 0) return slot;
  }
}

// A key not in the table, with every window fresh and no permit.
std::size_t LocalKeys::insert(KeyRef key, nanoseconds now) {
  const std::uint64_t now_secs = whole_seconds(now);
  sweep_some(now_secs);
  if ((live_ + 1) * 4 > capacity_ * 3 || (capacity_ > min_capacity && live_ * 8 < capacity_)) rebuild(now_secs);
  char* own_bytes = nullptr;
  if (key.bytes.size() > inline_key_bytes) {
    own_bytes = static_cast<char*>(std::malloc(key.bytes.size()));
    if (own_bytes == nullptr) throw std::bad_alloc();
    std::memcpy(own_bytes, key.bytes.data(), key.bytes.size());
  }
  const std::size_t mask = capacity_ - 1;
  std::size_t slot = key.hash & mask;
  while (occupied(record(slot))) slot = (slot + 1) & mask;
  std::uint64_t* rec = record(slot);
  std::fill_n(rec, stride_, 0);
  rec[0] = key.hash | (static_cast<std::uint64_t>(key.bytes.size()) << 32);
  if (own_bytes != nullptr) rec[2] = reinterpret_cast<std::uint64_t>(own_bytes);
  else std::memcpy(rec + 2, key.bytes.data(), key.bytes.size());
  ++live_;
  return slot;
}

// Backward-shift deletion: the records after it in its run move up where
// their probe may start, so no search ever stops early at the hole.
void LocalKeys::erase(std::size_t slot) noexcept {
  std::uint64_t* rec = record(slot);
  if (key_length(rec) > inline_key_bytes) std::free(reinterpret_cast<void*>(rec[2]));
  permits_held_ -= std::min(permits_held_, rec[1]);
  const std::size_t mask = capacity_ - 1;
  std::size_t hole = slot;
  for (std::size_t next = (hole + 1) & mask; occupied(record(next)); next = (next + 1) & mask) {
    const std::size_t home = hash_of(record(next)) & mask;
    if (((next - home) & mask) >= ((next - hole) & mask)) {
      std::copy_n(record(next), stride_, record(hole));
      hole = next;
    }
  }
  record(hole)[0] = 0;
  --live_;
}

bool LocalKeys::idle(const std::uint64_t* rec, std::uint64_t now_secs) const noexcept {
  if (rec[1] != 0) return false;
  for (std::size_t i = 0; i < window_count_; ++i) {
    const StoredWindow window = stored(rec, i);
    const bool empty = window.count == 0 && window.newer_start == 0;
    if (!empty && quiet_after(window, windows_[i].length) > now_secs) return false;
  }
  return true;
}

void LocalKeys::sweep_some(std::uint64_t now_secs) noexcept {
  for (std::size_t looked = 0; looked < sweep_per_insert && live_ != 0; ++looked) {
    sweep_at_ &= capacity_ - 1;
    const std::uint64_t* rec = record(sweep_at_);
    // An erased record's place may take the next one: look at it again.
    if (occupied(rec) && idle(rec, now_secs)) erase(sweep_at_);
    else ++sweep_at_;
  }
}

void LocalKeys::drop_all() noexcept {
  for (std::size_t slot = 0; slot < capacity_ && live_ != 0; ++slot) {
    const std::uint64_t* rec = record(slot);
    if (key_length(rec) > inline_key_bytes) std::free(reinterpret_cast<void*>(rec[2]));
  }
  slots_ = ZeroedWords();
  capacity_ = live_ = sweep_at_ = 0;
  permits_held_ = quiet_from_ = 0;
}

// A new array, at most half full of the records still worth keeping (so a
// full one doubles); idle records are left behind.
void LocalKeys::rebuild(std::uint64_t now_secs) {
  std::size_t keep = 1;  // the record about to be inserted
  for (std::size_t slot = 0; slot < capacity_; ++slot) {
    const std::uint64_t* rec = record(slot);
    if (occupied(rec) && !idle(rec, now_secs)) ++keep;
  }
  std::size_t capacity = min_capacity;
  while (capacity < keep * 2) capacity *= 2;
  ZeroedWords fresh(capacity * stride_);
  const std::size_t mask = capacity - 1;
  std::size_t moved = 0;
  for (std::size_t slot = 0; slot < capacity_; ++slot) {
    std::uint64_t* rec = record(slot);
    if (!occupied(rec)) continue;
    if (idle(rec, now_secs)) {
      if (key_length(rec) > inline_key_bytes) std::free(reinterpret_cast<void*>(rec[2]));
      continue;
    }
    std::size_t to = hash_of(rec) & mask;
    while (occupied(fresh.get() + to * stride_)) to = (to + 1) & mask;
    std::copy_n(rec, stride_, fresh.get() + to * stride_);
    ++moved;
  }
  slots_ = std::move(fresh);
  capacity_ = capacity;
  live_ = moved;
  sweep_at_ = 0;
}

void LocalKeys::note_counted(const std::uint64_t* rec) noexcept {
  for (std::size_t i = 0; i < window_count_; ++i) {
    quiet_from_ = std::max(quiet_from_, quiet_after(stored(rec, i), windows_[i].length));
  }
}

CountHome::Attempt LocalKeys::admit(KeyRef key, nanoseconds now, bool take_permit, std::uint64_t cost) {
  CountHome::Attempt attempt;
  const std::lock_guard lock(mutex_);
  // Everything counted has rolled over and nothing is held: let the whole
  // array go before looking, however many keys it holds.
  if (live_ != 0 && permits_held_ == 0 && whole_seconds(now) >= quiet_from_) drop_all();
  std::optional<std::size_t> slot = find(key);
  const std::uint64_t held = slot ? record(*slot)[1] : 0;
  const bool capped = take_permit && permit_cap_ != 0;
  if (capped && held >= permit_cap_) {
    attempt.burst_refused = true;
    return attempt;
  }
  // Decided on copies, so that a refusal leaves no trace, not even a record.
  std::array<StoredWindow, max_windows> moved{};
  for (std::size_t i = 0; i < window_count_; ++i) {
    const StoredWindow before = slot ? stored(record(*slot), i) : StoredWindow{0, 0, 0};
    moved[i] = window_position(windows_[i].length, before, now);
    if (moved[i].count >= windows_[i].limit || windows_[i].limit - moved[i].count < cost) {
      const nanoseconds wait = until_end(moved[i].start, windows_[i].length, now);
      if (!attempt.window_wait || wait < *attempt.window_wait) attempt.window_wait = wait;
    }
  }
  if (attempt.window_wait) return attempt;
  if (!slot) slot = insert(key, now);
  std::uint64_t* rec = record(*slot);
  for (std::size_t i = 0; i < window_count_; ++i) {
    moved[i].count += cost;
    store(rec, i, moved[i]);
  }
  note_counted(rec);
  if (capped) {
    ++rec[1];
    ++permits_held_;
  }
  attempt.admitted = true;
  attempt.decided_at = now;
  return attempt;
}

void LocalKeys::settle(KeyRef key, nanoseconds decided_at, std::int64_t delta) noexcept {
  if (delta == 0) return;
  const std::lock_guard lock(mutex_);
  std::optional<std::size_t> slot = find(key);
  if (!slot) {
    // Dropped: every window had rolled over or held nothing. Only more
    // to count brings it back (a record of a past interval is dropped later).
    if (delta < 0) return;
    try {
      slot = insert(key, decided_at);
    } catch (...) {
      return;  // no memory for it: the settlement is lost, never the table
    }
  }
  std::uint64_t* rec = record(*slot);
  const auto size = static_cast<std::uint64_t>(delta < 0 ? -(delta + 1) : delta) + (delta < 0 ? 1 : 0);
  for (std::size_t i = 0; i < window_count_; ++i) {
    const std::uint64_t start = aligned_start(windows_[i].length, decided_at);
    StoredWindow window = stored(rec, i);
    if (window.start > start && window.newer_start != start) continue;  // rolled over since
    if (window.start < start && window.newer_start != start) window = {start, 0, 0};
    window.count = delta > 0 ? saturating_add(window.count, size) : window.count - std::min(window.count, size);
    store(rec, i, window);
  }
  note_counted(rec);
}

void LocalKeys::release_permit(KeyRef key) noexcept {
  {
    const std::lock_guard lock(mutex_);
    const std::optional<std::size_t> slot = find(key);
    if (!slot || record(*slot)[1] == 0) return;
    --record(*slot)[1];
    --permits_held_;
  }
  releases_.fetch_add(1, std::memory_order_relaxed);
}

std::optional<std::uint64_t> LocalKeys::burst_remaining(KeyRef key) {
  if (permit_cap_ == 0) return std::nullopt;
  const std::lock_guard lock(mutex_);
  const std::optional<std::size_t> slot = find(key);
  const std::uint64_t held = slot ? record(*slot)[1] : 0;
  return permit_cap_ - std::min(permit_cap_, held);
}

void LocalKeys::read_windows(KeyRef key, nanoseconds now, std::span<WindowState> windows) {
  const std::lock_guard lock(mutex_);
  const std::optional<std::size_t> slot = find(key);
  for (std::size_t i = 0; i < windows.size() && i < window_count_; ++i) {
    const StoredWindow before = slot ? stored(record(*slot), i) : StoredWindow{0, 0, 0};
    windows[i].count = window_position(windows_[i].length, before, now).count;
  }
}

std::optional<nanoseconds> LocalKeys::window_wait(KeyRef key, nanoseconds now) {
  const std::lock_guard lock(mutex_);
  const std::optional<std::size_t> slot = find(key);
  if (!slot) return std::nullopt;
  std::optional<nanoseconds> wait;
  for (std::size_t i = 0; i < window_count_; ++i) {
    const StoredWindow window = window_position(windows_[i].length, stored(record(*slot), i), now);
    if (window.count < windows_[i].limit) continue;
    const nanoseconds left = until_end(window.start, windows_[i].length, now);
    if (!wait || left < *wait) wait = left;
  }
  return wait;
}

std::size_t LocalKeys::live() const {
  const std::lock_guard lock(mutex_);
  return live_;
}

std::size_t LocalKeys::capacity() const {
  const std::lock_guard lock(mutex_);
  return capacity_;
}

// Called with the lock held across the fork, by the child's only thread.
void LocalKeys::free_permits_in_child() noexcept {
  for (std::size_t slot = 0; slot < capacity_; ++slot) record(slot)[1] = 0;
  permits_held_ = 0;
}

}  // namespace quellgate::engine
