#include <windows.h>

#include "engine/zeroed_pages.hpp"

namespace quellgate::engine {

// Committed pages are zero when first touched and cost nothing resident
// until then, as an anonymous mapping on Linux.
void* map_zeroed_pages(std::size_t bytes) noexcept {
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void unmap_zeroed_pages(void* pages, std::size_t) noexcept { VirtualFree(pages, 0, MEM_RELEASE); }

}  // namespace quellgate::engine
