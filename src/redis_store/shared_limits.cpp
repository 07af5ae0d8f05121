#include "redis_store/shared_limits.hpp"

#include <algorithm>

namespace quellgate::redis_store {

namespace {
constexpr std::size_t kLongestName = 200;

bool allowed_in_name(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
         c == '-';
}
}  // namespace

std::string describe(const SharedLimits& limits) {
  std::string text;
  for (const auto& window : limits.windows) {
    if (!text.empty()) text += ", ";
    text += std::string(window.name) + "=" + std::to_string(window.limit) + "/" + std::to_string(window.length) + "s";
  }
  if (limits.max_burst) text += ", max_burst=" + std::to_string(*limits.max_burst);
  return text;
}

std::expected<void, StoreError> check_shared_name(std::string_view name) {
  if (name.empty() || name.size() > kLongestName || !std::ranges::all_of(name, allowed_in_name))
    return std::unexpected(StoreError{
        StoreErrorKind::config,
        "shared limiter name '" + std::string(name.substr(0, 60)) +
            "' is not allowed: a name is 1 to 200 characters, each a letter A-Z or a-z, a digit, '.', '_' or '-'"});
  return {};
}

std::string key_prefix(std::string_view name) { return "quellgate:{" + std::string(name) + "}:"; }

std::string key_prefix(std::string_view name, std::string_view key) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string prefix = "quellgate:{" + std::string(name) + ":";
  prefix.reserve(prefix.size() + 3 * key.size() + 2);
  for (const char c : key) {
    if (allowed_in_name(c)) {
      prefix += c;
      continue;
    }
    const auto byte = static_cast<unsigned char>(c);
    prefix += {'%', kHex[byte >> 4], kHex[byte & 15]};
  }
  return prefix + "}:";
}

std::string name_pattern(std::string_view name) {
  // Today's names need no escaping; a backslash keeps any glob character
  // literal should the alphabet ever grow. What follows the name is ':' (a
  // key's tag) or '}' (the name's own), never another name's next character.
  std::string pattern = "quellgate:{";
  for (const char c : name) {
    if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\' || c == '^') pattern += '\\';
    pattern += c;
  }
  return pattern + "[:}]*";
}

}  // namespace quellgate::redis_store
