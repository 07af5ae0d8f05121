#include <algorithm>

#include "shared_memory/segment.hpp"

namespace quellgate::shared_memory {

std::string SharedConfig::describe() const {
  std::string text;
  for (const WindowSpec& window : active()) {
    if (!text.empty()) text += ", ";
    text += std::to_string(window.limit) + "/" + std::to_string(window.length_seconds) + "s";
  }
  if (text.empty()) text = "no windows";
  if (max_burst != 0) text += ", max_burst=" + std::to_string(max_burst);
  text += ", max_keys=" + std::to_string(max_keys);
  return text;
}

bool operator==(const SharedConfig& a, const SharedConfig& b) noexcept {
  return a.max_burst == b.max_burst && a.max_keys == b.max_keys && std::ranges::equal(a.active(), b.active());
}

}  // namespace quellgate::shared_memory
