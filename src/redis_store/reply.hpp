#pragma once
#include <optional>
#include <string>
#include <vector>

#include "redis_store/lua_scripts.hpp"

namespace quellgate::redis_store {

// A server reply, copied out of hiredis so that nothing above the connection
// sees its types. Error replies never become a Reply: they are StoreErrors.
struct Reply {
  enum class Type { integer, text, array, nil };
  Type type = Type::nil;
  long long integer = 0;
  std::string text;  // bulk and status strings
  std::vector<Reply> elements;
};

// One command: a plain one (args is the whole command), or EVALSHA of a
// script (args start at numkeys), whose hash the connection supplies.
struct Command {
  std::optional<ScriptId> script;
  std::vector<std::string> args;
  bool asking = false;  // sent right after an ASKING, as a Cluster's ASK redirect wants
};

}  // namespace quellgate::redis_store
