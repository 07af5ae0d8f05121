#pragma once
#include <mutex>

namespace quellgate::redis_store {

// Holds a mutex across every fork() of the process, so that a child never
// inherits it locked by a thread that did not come along. Register only
// mutexes held for a few instructions, never across I/O.
class ForkGuard {
 public:
  explicit ForkGuard(std::mutex& mutex);
  ~ForkGuard();
  ForkGuard(const ForkGuard&) = delete;
  ForkGuard& operator=(const ForkGuard&) = delete;

 private:
  std::mutex& mutex_;
};

}  // namespace quellgate::redis_store
