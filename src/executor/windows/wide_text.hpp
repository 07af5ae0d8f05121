#pragma once
#include <string>
#include <string_view>

namespace quellgate::executor::windows {

// UTF-8 to the UTF-16 that Win32's W functions take. Invalid bytes become
// U+FFFD: only names and texts of our own go this way.
std::wstring to_wide(std::string_view utf8);

// UTF-16 from Win32 to bytes. A lone surrogate, which UTF-8 cannot carry,
// is kept as the three bytes it would take if it could (WTF-8), so that a
// caller validating the bytes as UTF-8 refuses it instead of seeing U+FFFD.
std::string from_wide(std::wstring_view utf16);

}  // namespace quellgate::executor::windows
