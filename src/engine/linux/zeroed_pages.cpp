#include <sys/mman.h>

#include "engine/zeroed_pages.hpp"

namespace quellgate::engine {

void* map_zeroed_pages(std::size_t bytes) noexcept {
  void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return mapped == MAP_FAILED ? nullptr : mapped;
}

void unmap_zeroed_pages(void* pages, std::size_t bytes) noexcept { munmap(pages, bytes); }

}  // namespace quellgate::engine
