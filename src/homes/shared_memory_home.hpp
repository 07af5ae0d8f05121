#pragma once
// The home of counts shared by every process of this host that opens the
// same name: a CountHome over the shared-memory segment.
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "engine/limiter_core.hpp"

namespace quellgate::homes {

// Why a name could not be opened or removed, here or at a server: what
// Python raises.
struct HomeError {
  enum class Kind {
    invalid,  // ValueError: a bad name, another configuration at the name, a corrupt segment
    os,       // OSError with error_number
    storage,  // StorageError: a server could not be reached or refused the work
    unavailable,  // this build lacks what was asked for: the message says how to get it
  } kind;
  int error_number = 0;
  std::string message;  // names the name and the reason
};

// Opens `name` (creating it with the permission bits `mode`, 0600 when none
// is given; an existing one must have a `mode` given) for the core's windows
// and burst cap and a table of `max_keys` keys, and moves the core's counts
// there. Only before the core is copied.
std::expected<void, HomeError> move_counts_to_shared_memory(engine::LimiterCore& core, std::string_view name,
                                                            std::optional<unsigned> mode, std::uint64_t max_keys);

// Keys a shared limiter's table holds when shared() is not told.
std::uint64_t default_max_keys() noexcept;
// The most a table may hold.
std::uint64_t most_max_keys() noexcept;

// Deletes the name; limiters still open keep their own mapping until they go.
std::expected<void, HomeError> remove_shared_memory(std::string_view name);

}  // namespace quellgate::homes
