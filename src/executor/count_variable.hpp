#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quellgate::executor {

// A positive count read from the environment variable `variable`: one
// optional leading '+', then ASCII digits, nothing else. Throws
// std::runtime_error naming the variable when `raw_value` is not valid UTF-8,
// not such a number, too large for a size_t, or zero.
std::size_t parse_count_variable(std::string_view variable, std::string_view raw_value);

// Where `bytes` stops being valid UTF-8, described for a person, or nullopt
// when all of it is valid.
std::optional<std::string> describe_invalid_utf8(std::string_view bytes);

}  // namespace quellgate::executor
