#pragma once

#include <array>
#include <cstddef>
#include <mutex>
#include <optional>
#include <span>
#include <type_traits>

#include "engine/window.hpp"

namespace quellgate::engine {

inline constexpr std::size_t max_windows = 4;

// A limiter's windows, in period order, behind the one lock that makes a
// whole refresh-test-count pass over them atomic.
//
// A section that unwinds with an exception may have left the counts half
// updated, so the table is then marked broken for good and runs no further
// section. The engine's own sections never throw; the mark exists so that a
// fault in them degrades into refused work instead of wrong counts.
class WindowTable {
 public:
  explicit WindowTable(std::span<const WindowState> windows) noexcept;
  WindowTable(const WindowTable&) = delete;
  WindowTable& operator=(const WindowTable&) = delete;

  // Runs section(std::span<WindowState>) with the lock held and returns its
  // result, or nothing when the table is broken. Sections are plain
  // arithmetic: the lock is never held across a sleep or while waiting for
  // the interpreter lock, so callers that hold the interpreter lock (the
  // asyncio methods decide on the loop's thread) cannot deadlock with
  // workers that hold this one.
  template <class Section>
  auto with_lock(Section&& section)
      -> std::optional<std::invoke_result_t<Section&, std::span<WindowState>>>;

  // For fork(): the lock held across it (see LiveLimiters).
  void lock_for_fork() noexcept { mutex_.lock(); }
  void unlock_after_fork() noexcept { mutex_.unlock(); }

 private:
  std::mutex mutex_;
  std::array<WindowState, max_windows> windows_;  // counts and starts guarded by mutex_
  std::size_t size_;                              // fixed at construction
  bool broken_ = false;                           // guarded by mutex_
};

template <class Section>
auto WindowTable::with_lock(Section&& section)
    -> std::optional<std::invoke_result_t<Section&, std::span<WindowState>>> {
  static_assert(!std::is_void_v<std::invoke_result_t<Section&, std::span<WindowState>>>,
                "a section returns what it found, so a broken table can be told apart");
  const std::lock_guard lock(mutex_);
  if (broken_) return std::nullopt;
  // A handler rather than a guard that compares std::uncaught_exceptions():
  // that reads a thread_local twice per section, which in a module loaded
  // with dlopen costs more than the arithmetic it guards. Rethrown, so a
  // forced unwind goes on; the mark is set before the lock is released.
  try {
    return section(std::span<WindowState>(windows_.data(), size_));
  } catch (...) {
    broken_ = true;
    throw;
  }
}

}  // namespace quellgate::engine
