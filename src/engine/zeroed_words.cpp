#include "engine/zeroed_words.hpp"

#include <cstdlib>
#include <new>

#include "engine/zeroed_pages.hpp"

namespace quellgate::engine {
namespace {

// Below this, calloc: a small table's array stays in malloc's heap.
constexpr std::size_t mapped_from_bytes = std::size_t{1} << 20;

}  // namespace

ZeroedWords::ZeroedWords(std::size_t count) {
  const std::size_t bytes = count * sizeof(std::uint64_t);
  if (bytes < mapped_from_bytes) {
    words_ = static_cast<std::uint64_t*>(std::calloc(count, sizeof(std::uint64_t)));
    if (words_ == nullptr) throw std::bad_alloc();
    return;
  }
  void* mapped = map_zeroed_pages(bytes);
  if (mapped == nullptr) throw std::bad_alloc();
  words_ = static_cast<std::uint64_t*>(mapped);
  bytes_ = bytes;
}

ZeroedWords::~ZeroedWords() {
  if (words_ == nullptr) return;
  if (bytes_ != 0) unmap_zeroed_pages(words_, bytes_);
  else std::free(words_);
}

}  // namespace quellgate::engine
