#include "executor/word_wait.hpp"

#include "executor/windows/address_wait.hpp"

namespace quellgate::executor {

void wait_on_word(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
  windows::wait_while_equal(word, expected, INFINITE);
}

void wake_one_on_word(std::atomic<std::uint32_t>& word) noexcept { WakeByAddressSingle(&word); }

}  // namespace quellgate::executor
