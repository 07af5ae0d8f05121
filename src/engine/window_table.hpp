#pragma once

#include <array>
#include <cstddef>
#include <exception>
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
  // Marks the table broken when the section it outlives unwinds.
  class BreakOnUnwind {
   public:
    explicit BreakOnUnwind(bool& broken) noexcept : broken_(broken) {}
    BreakOnUnwind(const BreakOnUnwind&) = delete;
    BreakOnUnwind& operator=(const BreakOnUnwind&) = delete;
    ~BreakOnUnwind() {
      if (std::uncaught_exceptions() > uncaught_on_entry_) broken_ = true;
    }

   private:
    bool& broken_;
    int uncaught_on_entry_ = std::uncaught_exceptions();
  };

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
  // Declared after the lock, so it records the break before the unlock.
  const BreakOnUnwind break_on_unwind(broken_);
  return section(std::span<WindowState>(windows_.data(), size_));
}

}  // namespace quellgate::engine
