#include "engine/window_table.hpp"

#include <algorithm>

namespace quellgate::engine {

WindowTable::WindowTable(std::span<const WindowState> windows) noexcept
    : windows_{}, size_(std::min(windows.size(), max_windows)) {
  std::copy_n(windows.begin(), size_, windows_.begin());
}

}  // namespace quellgate::engine
