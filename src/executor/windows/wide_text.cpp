#include "executor/windows/wide_text.hpp"

#include <windows.h>

namespace quellgate::executor::windows {

namespace {

void append_code_point(std::string& out, char32_t point) {
  auto byte = [&out](unsigned value) { out.push_back(static_cast<char>(value)); };
  if (point < 0x80) {
    byte(point);
  } else if (point < 0x800) {
    byte(0xC0 | (point >> 6));
    byte(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    byte(0xE0 | (point >> 12));
    byte(0x80 | ((point >> 6) & 0x3F));
    byte(0x80 | (point & 0x3F));
  } else {
    byte(0xF0 | (point >> 18));
    byte(0x80 | ((point >> 12) & 0x3F));
    byte(0x80 | ((point >> 6) & 0x3F));
    byte(0x80 | (point & 0x3F));
  }
}

bool is_high_surrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

std::wstring to_wide(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int length = static_cast<int>(utf8.size());
  const int needed = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, wide.data(), needed);
  return wide;
}

std::string from_wide(std::wstring_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    const char32_t unit = static_cast<char16_t>(utf16[i]);
    if (is_high_surrogate(unit) && i + 1 < utf16.size() && is_low_surrogate(static_cast<char16_t>(utf16[i + 1]))) {
      const char32_t low = static_cast<char16_t>(utf16[++i]);
      append_code_point(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
    } else {
      append_code_point(out, unit);
    }
  }
  return out;
}

}  // namespace quellgate::executor::windows
