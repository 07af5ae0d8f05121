// Decisions per second of the Redis store against a running server:
//   redis_store_bench [redis://127.0.0.1:6379] [seconds per figure]
// Built with -DQUELLGATE_BUILD_BENCH=ON; not part of the tests.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "redis_store/redis_store.hpp"

using namespace quellgate::redis_store;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint64_t kNeverFull = 1'000'000'000'000;

std::unique_ptr<RedisStore> open_or_exit(const std::string& url, const char* name, const SharedLimits& limits) {
  (void)remove_redis_name(url, name, StoreOptions{});
  auto store = open_redis_store(url, name, limits, StoreOptions{});
  if (!store) {
    std::fprintf(stderr, "%s\n", store.error().message.c_str());
    std::exit(1);
  }
  return std::move(*store);
}

void fail_on(const DecisionOutcome& outcome) {
  if (outcome) return;
  std::fprintf(stderr, "%s\n", outcome.error().message.c_str());
  std::exit(1);
}

double blocking_rate(RedisStore& store, double seconds, bool release) {
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  const auto start = Clock::now();
  std::uint64_t done = 0;
  for (; Clock::now() < end; ++done) {
    auto outcome = store.decide();
    fail_on(outcome);
    if (auto* admitted = std::get_if<Admitted>(&*outcome); release && admitted && admitted->lease)
      (void)store.release(*admitted->lease);
  }
  return static_cast<double>(done) / std::chrono::duration<double>(Clock::now() - start).count();
}

// Keeps `in_flight` requests outstanding: each completion submits the next.
double pipelined_rate(RedisStore& store, double seconds, int in_flight) {
  std::atomic<std::uint64_t> done{0};  // only counted; the final read is ordered by the mutex below
  std::atomic<bool> stop{false};       // relaxed: a request or two past the end changes nothing
  std::mutex mutex;
  std::condition_variable drained;
  int outstanding = in_flight;  // guarded by mutex
  std::function<void()> submit = [&] {
    store.decide_async([&](DecisionOutcome outcome) {
      fail_on(outcome);
      done.fetch_add(1, std::memory_order_relaxed);
      if (!stop.load(std::memory_order_relaxed)) return submit();
      const std::lock_guard lock(mutex);
      if (--outstanding == 0) drained.notify_all();
    });
  };
  const auto start = Clock::now();
  for (int i = 0; i < in_flight; ++i) submit();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop.store(true, std::memory_order_relaxed);
  std::unique_lock lock(mutex);
  drained.wait(lock, [&] { return outstanding == 0; });
  return static_cast<double>(done.load(std::memory_order_relaxed)) /
         std::chrono::duration<double>(Clock::now() - start).count();
}

// A key's decisions, each through a store for_key makes afresh (as a view
// made per call would), over `keys` keys in turn.
double keyed_rate(RedisStore& store, double seconds, int keys) {
  std::vector<std::string> names;
  for (int k = 0; k < keys; ++k) names.push_back("user:" + std::to_string(k));
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  const auto start = Clock::now();
  std::uint64_t done = 0;
  for (; Clock::now() < end; ++done) fail_on(store.for_key(names[done % names.size()])->decide());
  return static_cast<double>(done) / std::chrono::duration<double>(Clock::now() - start).count();
}

// Un-keyed and keyed decisions in alternating slices, so that a busy moment
// of a shared machine falls on both alike.
void keyed_against_unkeyed(RedisStore& store, double seconds) {
  auto key = store.for_key("user:1");
  double unkeyed = 0, one_key = 0, many_keys = 0;
  constexpr int kSlices = 10;
  for (int slice = 0; slice < kSlices; ++slice) {
    unkeyed += blocking_rate(store, seconds / kSlices / 3, false) / kSlices;
    one_key += blocking_rate(*key, seconds / kSlices / 3, false) / kSlices;
    many_keys += keyed_rate(store, seconds / kSlices / 3, 1000) / kSlices;
  }
  std::printf("blocking, one window, un-keyed:            %8.0f decisions/s\n", unkeyed);
  std::printf("blocking, one window, one key's store:     %8.0f decisions/s  (un-keyed / keyed %.3f)\n", one_key,
              unkeyed / one_key);
  std::printf("blocking, one window, for_key per call:    %8.0f decisions/s  (un-keyed / keyed %.3f; 1000 keys)\n",
              many_keys, unkeyed / many_keys);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string url = argc > 1 ? argv[1] : "redis://127.0.0.1:6379";
  const double seconds = argc > 2 ? std::stod(argv[2]) : 3.0;
  auto one = open_or_exit(url, "bench-one", {{{"second", kNeverFull, 1}}, std::nullopt});
  auto two = open_or_exit(url, "bench-two", {{{"second", kNeverFull, 1}, {"minute", kNeverFull, 60}}, std::nullopt});
  auto burst = open_or_exit(url, "bench-burst", {{{"second", kNeverFull, 1}, {"minute", kNeverFull, 60}}, 1000});
  std::printf("blocking, one thread, one window:          %8.0f decisions/s\n", blocking_rate(*one, seconds, false));
  std::printf("blocking, one thread, two windows:         %8.0f decisions/s\n", blocking_rate(*two, seconds, false));
  std::printf("blocking, two windows + max_burst+release: %8.0f decisions/s\n", blocking_rate(*burst, seconds, true));
  std::printf("pipelined, 100 in flight, one window:      %8.0f decisions/s\n", pipelined_rate(*one, seconds, 100));
  std::printf("pipelined, 100 in flight, two windows:     %8.0f decisions/s\n", pipelined_rate(*two, seconds, 100));
  keyed_against_unkeyed(*one, 3 * seconds);
  for (const char* name : {"bench-one", "bench-two", "bench-burst"}) (void)remove_redis_name(url, name, StoreOptions{});
}
