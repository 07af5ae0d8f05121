#include "executor/thread_name.hpp"

#include <pthread.h>

namespace quellgate::executor {

std::string current_thread_name() {
  char name[64] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') return "<unnamed>";
  return name;
}

}  // namespace quellgate::executor
