#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace quellgate::engine {

// An array of 64-bit words, zero to begin with, whose memory goes back to
// the system when it is let go. A large one is mapped straight from the
// system rather than taken from malloc: malloc serves a block below its
// mmap threshold from its heap, and that threshold rises to the size of
// every mapped block freed (glibc), so after a few a table's array would
// come from the heap and stay resident there once freed, wherever other
// allocations pin it. Pages never touched cost nothing resident either way.
class ZeroedWords {
 public:
  ZeroedWords() = default;
  explicit ZeroedWords(std::size_t count);  // throws std::bad_alloc
  ZeroedWords(ZeroedWords&& other) noexcept
      : words_(std::exchange(other.words_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
  ZeroedWords& operator=(ZeroedWords&& other) noexcept {
    ZeroedWords gone(std::move(*this));
    words_ = std::exchange(other.words_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
    return *this;
  }
  ZeroedWords(const ZeroedWords&) = delete;
  ZeroedWords& operator=(const ZeroedWords&) = delete;
  ~ZeroedWords();

  std::uint64_t* get() const noexcept { return words_; }

 private:
  std::uint64_t* words_ = nullptr;
  std::size_t bytes_ = 0;  // of a mapped array; 0 for one from calloc
};

}  // namespace quellgate::engine
