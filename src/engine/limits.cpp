#include "engine/limits.hpp"

#include <array>
#include <initializer_list>
#include <limits>
#include <string_view>
#include <utility>

namespace quellgate::engine {
namespace {

using Arg = std::optional<std::uint64_t> LimitArgs::*;

struct Period {
  std::string_view name;      // reported name, also used in limit messages
  std::string_view arg_name;  // constructor argument, used in window messages
  Arg limit;
  Arg multiplier;
  std::uint64_t base_length;
};

constexpr std::array<Period, 4> periods{{
    {"second", "sec", &LimitArgs::sec, &LimitArgs::sec_window, 1},
    {"minute", "min", &LimitArgs::min, &LimitArgs::min_window, 60},
    {"hour", "hour", &LimitArgs::hour, &LimitArgs::hour_window, 3600},
    {"day", "day", &LimitArgs::day, &LimitArgs::day_window, 86400},
}};

std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) return std::numeric_limits<std::uint64_t>::max();
  return product;
}

std::uint64_t window_length(const Period& period, const LimitArgs& args) noexcept {
  return saturating_product((args.*period.multiplier).value_or(1), period.base_length);
}

ConfigError error(std::string_view first, std::string_view subject, std::string_view rest) {
  std::string message;
  message.reserve(first.size() + subject.size() + rest.size());
  message.append(first).append(subject).append(rest);
  return ConfigError{std::move(message)};
}

std::optional<ConfigError> check_limits(const LimitArgs& args) {
  bool any_limit = false;
  for (const Period& period : periods) {
    const auto limit = args.*period.limit;
    if (!limit) continue;
    if (*limit == 0) return error("Rate limit for ", period.name, " must be greater than 0");
    any_limit = true;
  }
  if (!any_limit) return ConfigError{"At least one rate limit must be specified"};
  return std::nullopt;
}

// A window of length 0 has no position on the clock, so it is refused rather
// than given some meaning.
std::optional<ConfigError> check_multipliers(const LimitArgs& args) {
  for (const Period& period : periods) {
    if ((args.*period.limit) && (args.*period.multiplier) == std::uint64_t{0}) {
      return error("", period.arg_name, "_window must be greater than 0");
    }
  }
  return std::nullopt;
}

std::optional<ConfigError> check_max_burst(const LimitArgs& args) {
  if (args.max_burst == std::uint64_t{0}) return ConfigError{"max_burst must be greater than 0"};
  return std::nullopt;
}

}  // namespace

std::expected<LimiterCore, ConfigError> make_limiter_core(const LimitArgs& args) {
  for (const auto check : {check_limits, check_multipliers, check_max_burst}) {
    if (auto failure = check(args)) return std::unexpected(std::move(*failure));
  }
  std::array<WindowState, max_windows> windows{};
  std::size_t size = 0;
  for (const Period& period : periods) {
    if (const auto limit = args.*period.limit) {
      windows[size++] = WindowState{period.name, *limit, window_length(period, args)};
    }
  }
  return LimiterCore(std::span(windows.data(), size), args.blocking, args.max_burst);
}

}  // namespace quellgate::engine
