#include "shared_memory/object_name.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "shared_memory/layout.hpp"

namespace quellgate::shared_memory {
namespace {

constexpr std::size_t max_name_length = 200;
constexpr std::string_view shm_directory = "/dev/shm";

bool is_name_character(char c) noexcept {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
         c == '-';
}

std::string prefix() { return "/quellgate." + std::to_string(layout::version); }

}  // namespace

std::expected<std::string, OpenError> object_name(std::string_view name) {
  if (name.empty() || name.size() > max_name_length || !std::ranges::all_of(name, is_name_character)) {
    return std::unexpected(OpenError{
        OpenError::Kind::bad_name, 0,
        "shared limiter name " + quoted(name) +
            " is not allowed: a name is 1 to 200 characters, each a letter A-Z or a-z, a digit, '.', '_' or '-'"});
  }
  return prefix() + "." + std::string(name);
}

std::string object_path(const std::string& object) { return std::string(shm_directory) + object; }

std::string temporary_object_name(std::string_view name) {
  // Relaxed: the counter only has to differ between calls of one process.
  static std::atomic<unsigned> calls{0};
  const unsigned call = calls.fetch_add(1, std::memory_order_relaxed);
  return prefix() + "~" + std::string(name) + "~" + std::to_string(::getpid()) + "~" + std::to_string(call);
}

std::string quoted(std::string_view name) {
  constexpr std::size_t shown = 60;
  std::string out = "'";
  for (const char c : name.substr(0, shown)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7f || c == '\'' || c == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += "'";
  if (name.size() > shown) out += "... (" + std::to_string(name.size()) + " characters)";
  return out;
}

}  // namespace quellgate::shared_memory
