#include "limiters/release_on_thread.hpp"

#include "engine/count_home.hpp"
#include "frame/gil.hpp"
#include "limiters/server_attempt.hpp"

namespace quellgate {

void release_at_home_on_this_thread(const engine::LimiterCore& core) {
  if (core.max_burst() && asks_a_server(core)) {
    (void)gil::without_gil([&core] {
      core.home()->release_permit_and_wait();
      return true;
    });
    return;
  }
  engine::release_burst(core);
}

}  // namespace quellgate
