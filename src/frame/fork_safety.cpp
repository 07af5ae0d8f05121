// Limiters stay usable in a child forked while other threads admit: every
// window table is held across fork(), so none is copied mid-update with its
// lock taken by a thread the child does not have.
//
// Registered when the module is loaded, once per process: a second
// registration would take each lock twice in the same fork.
#include "engine/live_tables.hpp"
#include "executor/environment.hpp"

namespace quellgate {
namespace {

const bool tables_held_across_fork = [] {
  executor::register_fork_bracket(engine::LiveTables::hold_all, engine::LiveTables::release_all);
  return true;
}();

}  // namespace
}  // namespace quellgate
