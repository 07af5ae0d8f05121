#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "shared_memory/layout.hpp"
#include "shared_memory/segment.hpp"

// What every OS's opener checks the same way: the header a creator writes,
// and what an opener accepts of a header and an object's size.
namespace quellgate::shared_memory {

// The smallest object that can be a segment: a header and a table of no keys.
inline constexpr std::size_t smallest_segment = layout::size_for(0);
// The largest: a header and the largest table.
inline constexpr std::size_t largest_segment = layout::size_for(layout::max_key_entries);

// The configuration a header states, or what is wrong with it. `size`: the
// object's, which the header's table of keys must fill exactly.
std::expected<SharedConfig, std::string> read_header(const layout::Header& header, std::uint64_t size);

void write_header(layout::Header& header, const SharedConfig& config) noexcept;

// The engine never builds a configuration this refuses; were one to come,
// a window of length 0 would divide by zero at the first admission.
bool valid_config(const SharedConfig& config) noexcept;

// The reason an object of `size` bytes cannot be a segment, if it cannot.
std::optional<std::string> wrong_size(std::uint64_t size);

}  // namespace quellgate::shared_memory
