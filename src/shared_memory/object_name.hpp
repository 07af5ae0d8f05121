#pragma once

#include <expected>
#include <string>
#include <string_view>

#include <optional>

#include "shared_memory/process_identity.hpp"
#include "shared_memory/segment.hpp"

namespace quellgate::shared_memory {

// The object name of a limiter name, "/quellgate.<layout version>.<name>"
// (a POSIX shared-memory name; Windows names a file by it, without the '/'), or bad_name when the name is not 1 to 200 of
// [A-Za-z0-9._-]. The layout version in the name keeps builds of different
// layouts apart instead of making them refuse each other's segments.
std::expected<std::string, OpenError> object_name(std::string_view name);

// A name of the same directory that no limiter name maps to ('~' is not a
// name character), to build a segment in:
// "/quellgate.<layout version>~<name, cut short>~<pid>.<start>.<namespace>.<n>",
// with the creator's identity, so that a leftover of a creator that died can
// be proven dead, and `n` counting this process's calls. Unique to a live
// process and call, except between processes whose identity /proc cannot
// give (their token makes a clash unlikely, and O_EXCL catches it).
std::string temporary_object_name(std::string_view name, const ProcessIdentity& creator);

// The start of every temporary's directory entry (in /dev/shm, or beside
// the segments' files on Windows), and the
// creator that the entry `entry` (a file name in that directory) records,
// or nothing when it is not a temporary of this layout version.
std::string temporary_entry_prefix();
std::optional<ProcessIdentity> temporary_creator(std::string_view entry);

// The name for a message: quoted, with anything unprintable escaped and a
// long one cut short, since a refused name may be anything.
std::string quoted(std::string_view name);

}  // namespace quellgate::shared_memory
