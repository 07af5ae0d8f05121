#pragma once
#include <cstddef>

namespace quellgate::engine {

// Zeroed pages straight from the system, not from malloc's heap, and their
// return: each OS's source file makes the call. Null when refused.
void* map_zeroed_pages(std::size_t bytes) noexcept;
void unmap_zeroed_pages(void* pages, std::size_t bytes) noexcept;

}  // namespace quellgate::engine
