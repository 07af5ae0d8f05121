#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "shared_memory/segment.hpp"

namespace quellgate::shared_memory {

// The POSIX shared-memory name of a limiter name, "/quellgate.<layout
// version>.<name>", or bad_name when the name is not 1 to 200 of
// [A-Za-z0-9._-]. The layout version in the name keeps builds of different
// layouts apart instead of making them refuse each other's segments.
std::expected<std::string, OpenError> object_name(std::string_view name);

// Where glibc keeps that object, for link() and for messages.
std::string object_path(const std::string& object);

// A name of the same directory that no limiter name maps to ('~' is not a
// name character), unique to this process and call, to build a segment in.
std::string temporary_object_name(std::string_view name);

// The name for a message: quoted, with anything unprintable escaped and a
// long one cut short, since a refused name may be anything.
std::string quoted(std::string_view name);

}  // namespace quellgate::shared_memory
