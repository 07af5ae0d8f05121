#include "engine/limiter_core.hpp"

#include <array>
#include <algorithm>

#include "engine/local_keys.hpp"

namespace quellgate::engine {

LimiterCore::LimiterCore(std::span<const WindowState> windows, bool blocking,
                         std::optional<std::uint64_t> max_burst)
    : shared_(std::make_shared<LimiterState>(windows)),
      blocking_(blocking),
      max_burst_(max_burst),
      waiters_(&shared_->waiters) {}

// The configuration is copied before keys_creation is taken: a fork holds
// the table's lock first, then keys_creation (see LiveLimiters).
LocalKeys& LimiterCore::local_keys() const {
  if (LocalKeys* made = shared_->keys.load(std::memory_order_acquire)) [[likely]] return *made;
  std::array<WindowState, max_windows> config{};
  const std::size_t size = shared_->table
                               .with_lock([&config](std::span<WindowState> windows) {
                                 std::copy(windows.begin(), windows.end(), config.begin());
                                 return windows.size();
                               })
                               .value_or(0);
  const std::lock_guard lock(shared_->keys_creation);
  if (!shared_->keys_owner) {
    shared_->keys_owner = std::make_unique<LocalKeys>(std::span<const WindowState>(config.data(), size), max_burst_);
    shared_->keys.store(shared_->keys_owner.get(), std::memory_order_release);
  }
  return *shared_->keys_owner;
}

std::optional<LimiterCore> LimiterCore::for_key(std::string_view key) const {
  if (key_home_) return std::nullopt;
  std::shared_ptr<CountHome> home =
      home_ != nullptr ? home_->for_key(key) : std::make_shared<LocalKeyHome>(local_keys(), key);
  if (!home) return std::nullopt;
  LimiterCore view = *this;
  view.key_home_ = std::move(home);
  view.home_ = view.key_home_.get();
  view.waiters_ = &shared_->key_waiters;
  return view;
}

}  // namespace quellgate::engine
