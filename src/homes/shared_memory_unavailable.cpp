// Built instead of shared_memory_home.cpp for a target OS that the shared
// memory layer has no implementation for yet: limiters of one process work,
// and shared() says why it cannot.
#include <string>

#include "homes/shared_memory_home.hpp"

namespace quellgate::homes {

namespace {

HomeError no_shared_memory(std::string_view name) {
  return {HomeError::Kind::unavailable, 0,
          "shared memory '" + std::string(name) +
              "': this build of quellgate has no shared memory for its OS; share through storage=\"redis://...\" "
              "where Redis is supported, or use quellgate on Linux"};
}

}  // namespace

std::expected<void, HomeError> move_counts_to_shared_memory(engine::LimiterCore&, std::string_view name,
                                                            std::optional<unsigned>, std::uint64_t) {
  return std::unexpected(no_shared_memory(name));
}

// The values a build with shared memory has, so that validation of max_keys
// reads the same everywhere.
std::uint64_t default_max_keys() noexcept { return 1024; }
std::uint64_t most_max_keys() noexcept { return std::uint64_t{1} << 20; }

std::expected<void, HomeError> remove_shared_memory(std::string_view name) {
  return std::unexpected(no_shared_memory(name));
}

}  // namespace quellgate::homes
