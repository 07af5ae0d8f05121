#include "redis_store/fork_guard.hpp"

#include <pthread.h>

#include <algorithm>
#include <vector>

namespace quellgate::redis_store {

namespace {

struct Registry {
  std::mutex mutex;  // guards guarded; taken before any guarded mutex, never the other way round
  std::vector<std::mutex*> guarded;
};

// Never destroyed: a fork after static destruction must still find it.
Registry& registry() {
  static Registry* instance = [] {
    auto* created = new Registry;
    pthread_atfork(
        [] {
          registry().mutex.lock();
          for (auto* mutex : registry().guarded) mutex->lock();
        },
        [] {
          for (auto* mutex : registry().guarded) mutex->unlock();
          registry().mutex.unlock();
        },
        [] {
          for (auto* mutex : registry().guarded) mutex->unlock();
          registry().mutex.unlock();
        });
    return created;
  }();
  return *instance;
}

}  // namespace

ForkGuard::ForkGuard(std::mutex& mutex) : mutex_(mutex) {
  auto& all = registry();
  const std::lock_guard lock(all.mutex);
  all.guarded.push_back(&mutex_);
}

ForkGuard::~ForkGuard() {
  auto& all = registry();
  const std::lock_guard lock(all.mutex);
  all.guarded.erase(std::ranges::find(all.guarded, &mutex_));
}

}  // namespace quellgate::redis_store
