#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "shared_memory/journal.hpp"
#include "shared_memory/key_table.hpp"
#include "shared_memory/layout.hpp"
#include "shared_memory/segment_lock.hpp"
#include "shared_memory/object_name.hpp"
#include "shared_memory/segment.hpp"

namespace quellgate::shared_memory {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;
constexpr nanoseconds t0 = 1'699'999'980s;  // a whole minute

struct Key {
  explicit Key(std::string text) : bytes(std::move(text)), ref{bytes, hash_key(bytes)} {}
  std::string bytes;
  KeyRef ref;
};

class KeyTableTest : public testing::Test {
 protected:
  const std::string name = "keys-" + std::to_string(getpid());
  void TearDown() override { (void)Segment::remove(name); }

  Segment open(std::initializer_list<WindowSpec> windows, std::uint64_t max_keys, std::uint64_t max_burst = 0) {
    SharedConfig config;
    for (const WindowSpec& window : windows) config.windows[config.window_count++] = window;
    config.max_burst = max_burst;
    config.max_keys = max_keys;
    auto segment = Segment::open(name, config, 0600);
    if (!segment) ADD_FAILURE() << segment.error().message;
    return std::move(segment).value();
  }
  static std::array<std::uint64_t, 2> counts(Segment& segment, nanoseconds now, const Key* key = nullptr) {
    std::array<engine::WindowState, 4> windows{};
    if (segment.read_windows(now, windows, key ? &key->ref : nullptr) != Fault::none) return {~0ull, ~0ull};
    return {windows[0].count, windows[1].count};
  }
};

TEST_F(KeyTableTest, ACostCountsInEveryWindowOrInNone) {
  Segment segment = open({{1, 5}, {60, 8}}, 4);
  const Key key("k");
  for (const Key* k : {static_cast<const Key*>(nullptr), &key}) {
    const KeyRef* ref = k ? &k->ref : nullptr;
    EXPECT_TRUE(segment.admit(t0, false, 3, ref).admitted);
    const auto refused = segment.admit(t0, false, 3, ref);
    EXPECT_FALSE(refused.admitted);
    EXPECT_EQ(refused.window_wait, 1s) << "the second has room for 2 only: wait for it to roll over";
    EXPECT_EQ(counts(segment, t0, k), (std::array<std::uint64_t, 2>{3, 3})) << "no trace in the minute";
    EXPECT_TRUE(segment.admit(t0, false, 2, ref).admitted);
  }
}

TEST_F(KeyTableTest, ASettlementChangesOnlyTheWindowsStillCurrent) {
  Segment segment = open({{1, 10}, {60, 10}}, 4);
  const Key key("k");
  for (const Key* k : {static_cast<const Key*>(nullptr), &key}) {
    const KeyRef* ref = k ? &k->ref : nullptr;
    ASSERT_TRUE(segment.admit(t0, false, 3, ref).admitted);
    ASSERT_EQ(segment.settle(t0, -5, ref), Fault::none);
    EXPECT_EQ(counts(segment, t0, k), (std::array<std::uint64_t, 2>{0, 0})) << "never below 0";
    ASSERT_EQ(segment.settle(t0 + 500ms, 12, ref), Fault::none);
    EXPECT_EQ(counts(segment, t0, k), (std::array<std::uint64_t, 2>{12, 12})) << "more is added without refusal";
    ASSERT_TRUE(segment.admit(t0 + 1s, false, 1, ref).window_wait) << "the minute is over its limit";
    ASSERT_EQ(segment.settle(t0, -4, ref), Fault::none);
    EXPECT_EQ(counts(segment, t0 + 1s, k), (std::array<std::uint64_t, 2>{0, 8})) << "the second rolled over since";
  }
}

TEST_F(KeyTableTest, AFullTableRefusesNewKeysCountsThemAndNeverEvictsALiveOne) {
  Segment segment = open({{1, 5}, {60, 100}}, 2, 1);
  const Key a("a"), b("b"), c("c");
  ASSERT_TRUE(segment.admit(t0, true, 1, &a.ref).admitted);  // a holds its permit past the rollover
  ASSERT_TRUE(segment.admit(t0, false, 2, &b.ref).admitted);
  const auto refused = segment.admit(t0, false, 1, &c.ref);
  EXPECT_FALSE(refused.admitted);
  EXPECT_TRUE(refused.window_wait && *refused.window_wait >= 1ms && *refused.window_wait <= 60s);
  EXPECT_EQ(counts(segment, t0, &c), (std::array<std::uint64_t, 2>{0, 0})) << "a key never counted has it all";
  const auto use = segment.key_table_use(t0);
  ASSERT_TRUE(use);
  EXPECT_EQ(use->live, 2u);
  EXPECT_EQ(use->max_keys, 2u);
  EXPECT_EQ(use->refused, 1u);
  EXPECT_FALSE(segment.admit(t0 + 59s, false, 1, &c.ref).admitted) << "a and b still count in the minute";
  EXPECT_EQ(counts(segment, t0 + 59s, &b)[1], 2u) << "b was not evicted";
  // The minute over: b's entry is free again; a's still holds its permit.
  EXPECT_TRUE(segment.admit(t0 + 60s, false, 1, &c.ref).admitted);
  EXPECT_EQ(segment.burst_remaining(&a.ref), 0u) << "a's entry kept its permit";
  EXPECT_EQ(counts(segment, t0 + 60s, &b), (std::array<std::uint64_t, 2>{0, 0})) << "b's counts went with the entry";
  EXPECT_FALSE(segment.admit(t0 + 60s, false, 1, &b.ref).admitted) << "the table is full again";
  ASSERT_EQ(segment.release_permit(&a.ref), Fault::none);
  EXPECT_TRUE(segment.admit(t0 + 60s, false, 1, &b.ref).admitted) << "a's entry came free with its permit";
  EXPECT_EQ(segment.key_table_use(t0 + 60s)->refused, 3u);
}

TEST_F(KeyTableTest, AKeysPermitsOfAKilledProcessComeBack) {
  Segment segment = open({{60, 100}}, 8, 2);
  const Key key("shared key");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    const bool took = segment.admit(t0, true, 1, &key.ref).admitted && segment.admit(t0, true, 1, &key.ref).admitted;
    (void)!write(ready[1], &took, 1);
    pause();
    _exit(0);
  }
  bool took = false;
  ASSERT_TRUE(read(ready[0], &took, 1) == 1 && took);
  EXPECT_TRUE(segment.admit(t0, true, 1, nullptr).admitted) << "the un-keyed permits are apart";
  EXPECT_TRUE(segment.admit(t0, true, 1, nullptr).admitted);
  EXPECT_TRUE(segment.admit(t0, true, 1, nullptr).burst_refused);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_TRUE(segment.admit(t0 + 1s, true, 1, &key.ref).admitted);
  EXPECT_EQ(segment.burst_remaining(&key.ref), 1u) << "both of the dead child's permits of the key came back";
  EXPECT_EQ(segment.burst_remaining(), 0u) << "and this process's un-keyed permits stayed held";
}

TEST_F(KeyTableTest, AKeyTakenByAProcessThatDiedMidwayIsCompleted) {
  constexpr std::uint64_t max_keys = 16;
  Segment segment = open({{60, 10}}, max_keys);
  const Key key("k");
  const int fd = shm_open(object_name(name)->c_str(), O_RDWR, 0);
  void* bytes = mmap(nullptr, layout::size_for(max_keys), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  auto* mapped = static_cast<layout::Layout*>(bytes);
  const std::size_t entry = key.ref.hash % max_keys;
  const pid_t child = fork();
  if (child == 0) {
    pthread_mutex_lock(&mutex_of(*mapped));
    Transaction claim(*mapped, layout::cell_count_for(max_keys));
    std::uint64_t first_bytes = 0;
    std::memcpy(&first_bytes, key.bytes.data(), key.bytes.size());
    namespace key_cell = layout::key_cell;
    claim.set(key_cell::entry(entry, key_cell::hash), key.ref.hash);
    claim.set(key_cell::entry(entry, key_cell::length), key.bytes.size());
    claim.set(key_cell::entry(entry, key_cell::first_key_cell), first_bytes);
    claim.set(key_cell::entry(entry, key_cell::first_window), engine::whole_seconds(t0));
    claim.set(key_cell::entry(entry, key_cell::first_window + 1), 4);
    claim.write_journal();
    _exit(0);  // dies holding the lock, before the entry changed
  }
  waitpid(child, nullptr, 0);
  ASSERT_EQ(layout::all_cells(*mapped)[layout::key_cell::entry(entry, layout::key_cell::hash)], 0u);
  EXPECT_EQ(counts(segment, t0, &key)[0], 4u) << "the next owner of the lock completed the key's entry";
  EXPECT_EQ(segment.key_table_use(t0)->live, 1u);
  munmap(bytes, layout::size_for(max_keys));
}

TEST_F(KeyTableTest, AnotherTableSizeAtTheNameIsRefusedNamingBoth) {
  Segment first = open({{1, 5}}, 16);
  SharedConfig other = first.config();
  other.max_keys = 32;
  const auto opened = Segment::open(name, other, 0600);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().kind, OpenError::Kind::mismatch);
  EXPECT_NE(opened.error().message.find("max_keys=16, which differs from the 5/1s, max_keys=32"), std::string::npos)
      << opened.error().message;
}

}  // namespace
}  // namespace quellgate::shared_memory
