#pragma once
// The home of counts shared through a Redis server by every process, on any
// host, that opens the same name at the same server.
#include <chrono>
#include <expected>
#include <string_view>

#include "engine/limiter_core.hpp"
#include "homes/shared_memory_home.hpp"

namespace quellgate::homes {

struct RedisHomeOptions {
  std::chrono::milliseconds timeout{1000};  // connecting, and each reply
  std::chrono::milliseconds lease{30000};   // how long a burst permit stays held unrenewed
  // An admission that could not reach the server is admitted (true) or
  // ends with the storage failure (false).
  bool admit_when_unreachable = false;
};

// Opens `name` at the server of `url` for the core's windows and burst cap,
// checks the configuration stored there, and moves the core's counts there.
// Only before the core is copied. A server that cannot be reached is an
// error unless the options admit when it is unreachable.
std::expected<void, HomeError> move_counts_to_redis(engine::LimiterCore& core, std::string_view url,
                                                    std::string_view name, const RedisHomeOptions& options);

// Waits, with the interpreter lock released, until the releases this
// process pipelined to any server are answered, each for at most its limiter's
// storage timeout: a clean exit would otherwise end the threads that send them.
void finish_redis_releases() noexcept;

// Deletes every key of the name at the server.
std::expected<void, HomeError> remove_redis(std::string_view url, std::string_view name,
                                            std::chrono::milliseconds timeout);

}  // namespace quellgate::homes
