#include "limiters/release_on_thread.hpp"

#include "engine/count_home.hpp"
#include "frame/gil.hpp"
#include "limiters/home_lock.hpp"
#include "limiters/server_attempt.hpp"

namespace quellgate {
namespace {

Result<void> give_back(const engine::LimiterCore& core) {
  engine::release_burst(core);
  return {};
}

// After a wait for the home's lock: the release was owed, and is made now.
Result<void> give_back_owed(const engine::LimiterCore& core) {
  core.home()->give_back_owed_releases();
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
  return at_home_on_thread(core, give_back, give_back_owed);
}

}  // namespace quellgate
