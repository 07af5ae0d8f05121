#include "executor/wait_watch.hpp"

namespace quellgate::executor {

namespace {
// One plain pointer, so the module's static TLS stays small. Per thread:
// only the thread that set it reads it.
thread_local WaitWatch* current_watch = nullptr;
}  // namespace

WaitWatch* thread_wait_watch() noexcept { return current_watch; }

ScopedWaitWatch::ScopedWaitWatch(WaitWatch* watch) noexcept : previous_(current_watch) { current_watch = watch; }

ScopedWaitWatch::~ScopedWaitWatch() { current_watch = previous_; }

}  // namespace quellgate::executor
