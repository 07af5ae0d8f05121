#include "limiters/release_on_thread.hpp"

#include "engine/count_home.hpp"
#include "frame/gil.hpp"
#include "limiters/home_lock.hpp"
#include "limiters/server_attempt.hpp"

namespace quellgate {
namespace {

// The release found the home's lock held and is owed: waits for the lock
// (see home_lock.hpp) and makes it.
[[gnu::cold, gnu::noinline]] Result<void> give_back_owed_after_lock_wait(const engine::LimiterCore& core) {
  do {
    if (auto waited = wait_for_home_lock(core); !waited) return waited;
    core.home()->give_back_owed_releases();
  } while (core.home()->take_lock_busy());
  return {};
}

}  // namespace

Result<void> release_at_home_on_this_thread(const engine::LimiterCore& core) {
  if (core.max_burst() && asks_a_server(core)) {
    (void)gil::without_gil([&core] {
      core.home()->release_permit_and_wait();
      return true;
    });
    return {};
  }
  engine::release_burst(core);
  if (!core.home()->take_lock_busy()) [[likely]] return {};
  return give_back_owed_after_lock_wait(core);
}

}  // namespace quellgate
