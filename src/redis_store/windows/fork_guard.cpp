// Windows starts every process afresh (CreateProcess): no child ever
// inherits a copy of a mutex, so there is nothing to hold across a fork.
#include "redis_store/fork_guard.hpp"

namespace quellgate::redis_store {

ForkGuard::ForkGuard(std::mutex& mutex) : mutex_(mutex) {}

ForkGuard::~ForkGuard() = default;

}  // namespace quellgate::redis_store
