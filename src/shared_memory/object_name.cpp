#include "shared_memory/object_name.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cstdio>

#include "shared_memory/layout.hpp"

namespace quellgate::shared_memory {
namespace {

constexpr std::size_t max_name_length = 200;
// Of a limiter name in a temporary's name: it is there for a person reading
// /dev/shm, and the whole must stay within NAME_MAX (255) with four numbers
// of up to 20 digits after it.
constexpr std::size_t temporary_name_part = 140;

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

std::string temporary_object_name(std::string_view name, const ProcessIdentity& creator) {
  // Relaxed: the counter only has to differ between calls of one process.
  static std::atomic<std::uint64_t> calls{0};
  const std::uint64_t call = calls.fetch_add(1, std::memory_order_relaxed);
  return prefix() + "~" + std::string(name.substr(0, temporary_name_part)) + "~" + std::to_string(creator.pid) + "." +
         std::to_string(creator.start_time) + "." + std::to_string(creator.pid_namespace) + "." +
         std::to_string(call);
}

std::string temporary_entry_prefix() { return prefix().substr(1) + "~"; }

std::optional<ProcessIdentity> temporary_creator(std::string_view entry) {
  if (!entry.starts_with(temporary_entry_prefix())) return std::nullopt;
  std::string_view numbers = entry.substr(entry.rfind('~') + 1);
  std::array<std::uint64_t, 4> values{};
  for (std::size_t i = 0; i < values.size(); ++i) {
    const char* end = numbers.data() + numbers.size();
    const auto [stop, error] = std::from_chars(numbers.data(), end, values[i]);
    if (error != std::errc{} || (i + 1 < values.size() ? stop == end || *stop != '.' : stop != end)) {
      return std::nullopt;
    }
    numbers.remove_prefix(static_cast<std::size_t>(stop - numbers.data()) + (stop == end ? 0 : 1));
  }
  return ProcessIdentity{values[0], values[1], values[2]};
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
