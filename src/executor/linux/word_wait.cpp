#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "executor/word_wait.hpp"

namespace quellgate::executor {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

void wait_on_word(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT | FUTEX_PRIVATE_FLAG, expected, nullptr,
          nullptr, 0);
}

void wake_one_on_word(std::atomic<std::uint32_t>& word) noexcept {
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1, nullptr, nullptr,
          0);
}

}  // namespace quellgate::executor
