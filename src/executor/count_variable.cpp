#include "executor/count_variable.hpp"

#include <limits>
#include <stdexcept>

namespace quellgate::executor {

namespace {

enum class ParseError { empty, invalid_digit, too_large };

const char* parse_error_text(ParseError error) {
  switch (error) {
    case ParseError::empty: return "cannot parse integer from empty string";
    case ParseError::invalid_digit: return "invalid digit found in string";
    case ParseError::too_large: return "number too large to fit in target type";
  }
  return "invalid digit found in string";
}

// Accepts exactly what a strict unsigned decimal parser does: one optional
// leading '+', then one or more ASCII digits, nothing else.
std::optional<ParseError> parse_unsigned(std::string_view text, std::size_t& out) {
  if (text.empty()) return ParseError::empty;
  if (text.front() == '+') {
    text.remove_prefix(1);
    if (text.empty()) return ParseError::invalid_digit;
  }
  std::size_t value = 0;
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  for (char c : text) {
    if (c < '0' || c > '9') return ParseError::invalid_digit;
    const auto digit = static_cast<std::size_t>(c - '0');
    if (value > (kMax - digit) / 10) return ParseError::too_large;
    value = value * 10 + digit;
  }
  out = value;
  return std::nullopt;
}

// Length of the UTF-8 sequence starting at `i`, or 0 if it is malformed.
std::size_t utf8_sequence_length(std::string_view bytes, std::size_t i) {
  const auto lead = static_cast<unsigned char>(bytes[i]);
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;  // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;  // overlong
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return 0;
  }
  if (i + length > bytes.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto byte = static_cast<unsigned char>(bytes[i + k]);
    if (byte < (k == 1 ? low : 0x80) || byte > (k == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

std::string escaped_for_display(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string shown;
  for (std::size_t i = 0; i < bytes.size();) {
    if (std::size_t length = utf8_sequence_length(bytes, i)) {
      shown.append(bytes.substr(i, length));
      i += length;
      continue;
    }
    const auto byte = static_cast<unsigned char>(bytes[i++]);
    shown += "\\x";
    shown += kHex[byte >> 4];
    shown += kHex[byte & 0xF];
  }
  return shown;
}

}  // namespace

std::optional<std::string> describe_invalid_utf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t length = utf8_sequence_length(bytes, i);
    if (length == 0) {
      return "environment variable was not valid unicode: \"" + escaped_for_display(bytes) + "\" (invalid byte at index " +
             std::to_string(i) + ")";
    }
    i += length;
  }
  return std::nullopt;
}

std::size_t parse_count_variable(std::string_view variable, std::string_view raw_value) {
  const std::string named = '"' + std::string(variable) + "\" ";
  if (auto invalid = describe_invalid_utf8(raw_value)) {
    throw std::runtime_error(named + "must be valid unicode, error: " + *invalid);
  }
  std::size_t count = 0;
  if (auto error = parse_unsigned(raw_value, count)) {
    throw std::runtime_error(named + "must be usize, error: " + parse_error_text(*error) + ", value: " +
                             std::string(raw_value));
  }
  if (count == 0) throw std::runtime_error(named + "cannot be set to 0");
  return count;
}

}  // namespace quellgate::executor
