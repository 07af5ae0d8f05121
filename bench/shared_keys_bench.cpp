// Admissions per second of the shared-memory segment, un-keyed against
// keyed, and four processes counting on 10,000 keys, checked exact per key:
//   shared_keys_bench [seconds per figure]
// Built with -DQUELLGATE_BUILD_BENCH=ON; not part of the tests. It measures
// the segment alone (no interpreter): what a keyed acquire() adds to an
// un-keyed one is the key's lookup under the same lock.
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "shared_memory/key_table.hpp"
#include "shared_memory/segment.hpp"

using namespace quellgate::shared_memory;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint64_t kNeverFull = 1'000'000'000'000;
constexpr std::size_t kKeys = 10'000;

Segment open_or_exit(const std::string& name, std::uint64_t limit, std::uint64_t max_keys) {
  (void)Segment::remove(name);
  SharedConfig config;
  config.windows[0] = {86400, limit};
  config.window_count = 1;
  config.max_keys = max_keys;
  auto segment = Segment::open(name, config, 0600);
  if (!segment) {
    std::fprintf(stderr, "%s\n", segment.error().message.c_str());
    std::exit(1);
  }
  return std::move(*segment);
}

std::vector<std::string> key_texts() {
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < kKeys; ++i) keys.push_back("user:" + std::to_string(i * 7919));
  return keys;
}

std::chrono::nanoseconds wall() { return std::chrono::system_clock::now().time_since_epoch(); }

// Admissions per second, each key of `keys` in turn (none: un-keyed).
double rate(Segment& segment, const std::vector<KeyRef>& keys, double seconds) {
  std::uint64_t done = 0;
  const auto until = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < until) {
    for (int i = 0; i < 1000; ++i, ++done) {
      const KeyRef* key = keys.empty() ? nullptr : &keys[done % keys.size()];
      if (!segment.admit(wall(), false, 1, key).admitted) std::abort();
    }
  }
  return static_cast<double>(done) / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  const std::vector<std::string> texts = key_texts();
  std::vector<KeyRef> keys;
  for (const std::string& text : texts) keys.push_back({text, hash_key(text)});

  Segment segment = open_or_exit("bench-keys", kNeverFull, 16384);
  const double plain = rate(segment, {}, seconds);
  const double one_key = rate(segment, {keys[0]}, seconds);
  const double many_keys = rate(segment, keys, seconds);
  std::printf("un-keyed admit:            %10.0f /s\n", plain);
  std::printf("keyed admit, one key:      %10.0f /s  (%.2fx the un-keyed time)\n", one_key, plain / one_key);
  std::printf("keyed admit, 10,000 keys:  %10.0f /s  (%.2fx the un-keyed time)\n", many_keys, plain / many_keys);

  // Four processes, each trying every key `tries` times against a limit of
  // `limit` per key: each key must end with exactly `limit` admitted.
  constexpr std::uint64_t limit = 10;
  constexpr int processes = 4, tries = 5;
  Segment exact = open_or_exit("bench-keys-exact", limit, 16384);
  const auto start = Clock::now();
  std::vector<pid_t> children;
  for (int p = 0; p < processes; ++p) {
    const pid_t child = fork();
    if (child == 0) {
      for (int round = 0; round < tries; ++round) {
        for (const KeyRef& key : keys) (void)exact.admit(wall(), false, 1, &key);
      }
      _exit(0);
    }
    children.push_back(child);
  }
  for (const pid_t child : children) waitpid(child, nullptr, 0);
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::size_t exact_keys = 0;
  for (const KeyRef& key : keys) {
    std::array<quellgate::engine::WindowState, 4> windows{};
    if (exact.read_windows(wall(), windows, &key) == Fault::none && windows[0].count == limit) ++exact_keys;
  }
  std::printf("4 processes x 10,000 keys x %d tries: %.0f attempts/s, %zu of %zu keys exact at %llu\n", tries,
              processes * tries * static_cast<double>(kKeys) / elapsed, exact_keys, kKeys,
              static_cast<unsigned long long>(limit));
  (void)Segment::remove("bench-keys");
  (void)Segment::remove("bench-keys-exact");
  return exact_keys == kKeys ? 0 : 1;
}
