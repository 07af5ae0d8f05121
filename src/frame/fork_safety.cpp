// Limiters stay usable in a child forked while other threads admit or wait:
// every limiter's locks are held across fork(), so none is copied mid-update
// with a lock taken by a thread the child does not have, and the child starts
// every limiter with its burst permits free (see LiveLimiters).
//
// Registered when the module is loaded, once per process: a second
// registration would take each lock twice in the same fork.
#include "engine/live_limiters.hpp"
#include "executor/environment.hpp"

namespace quellgate {
namespace {

const bool limiters_held_across_fork = [] {
  executor::register_fork_bracket(engine::LiveLimiters::hold_all, engine::LiveLimiters::release_all_in_parent,
                                  engine::LiveLimiters::release_all_in_child);
  return true;
}();

}  // namespace
}  // namespace quellgate
