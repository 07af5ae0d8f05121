#pragma once
#include <string>
#include <string_view>

#include "redis_store/lua_scripts.hpp"

namespace quellgate::redis_store {

// The name the server knows a script by (the SHA-1 of its text, in hex),
// computed here, so that a connection calls EVALSHA at once and loads a
// script only when the server says it lacks it.
const std::string& script_sha(ScriptId script);

// SHA-1 of `text` as 40 lowercase hex digits.
std::string sha1_hex(std::string_view text);

}  // namespace quellgate::redis_store
