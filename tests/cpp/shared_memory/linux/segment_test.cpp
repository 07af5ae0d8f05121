#include "shared_memory/segment.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>
#include <optional>

#include "shared_memory/journal.hpp"
#include "shared_memory/layout.hpp"
#include "shared_memory/segment_lock.hpp"
#include "shared_memory/object_name.hpp"

namespace quellgate::shared_memory {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;
constexpr nanoseconds t0 = 1'700'000'000s;  // a whole minute

SharedConfig config_of(std::initializer_list<WindowSpec> windows, std::uint64_t max_burst = 0) {
  SharedConfig config;
  for (const WindowSpec& window : windows) config.windows[config.window_count++] = window;
  config.max_burst = max_burst;
  return config;
}

nanoseconds monotonic_in(nanoseconds delay) { return std::chrono::steady_clock::now().time_since_epoch() + delay; }

pid_t fork_child(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

int exit_status(pid_t pid) {
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class SegmentTest : public testing::Test {
 protected:
  const std::string name = "test-" + std::to_string(getpid());  // ctest runs each test in a process of its own
  void TearDown() override { (void)Segment::remove(name); }

  Segment open(const SharedConfig& config) {
    auto segment = Segment::open(name, config, 0600);
    if (!segment) ADD_FAILURE() << segment.error().message;
    return std::move(segment).value();
  }
  // A second mapping of the segment's bytes, at another address.
  layout::Layout* map_again() {
    const int fd = shm_open(object_name(name)->c_str(), O_RDWR, 0);
    void* bytes = mmap(nullptr, sizeof(layout::Layout), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return static_cast<layout::Layout*>(bytes);
  }
  std::uint64_t count_in(Segment& segment, std::size_t window, nanoseconds now) {
    std::array<engine::WindowState, 4> windows{};
    return segment.read_windows(now, windows) == Fault::none ? windows[window].count : ~0ull;
  }
};

TEST_F(SegmentTest, CountsInEveryWindowOrInNone) {
  Segment segment = open(config_of({{1, 2}, {60, 3}}));
  EXPECT_TRUE(segment.admit(t0, false).admitted);
  EXPECT_TRUE(segment.admit(t0 + 100ms, false).admitted);
  EXPECT_EQ(segment.admit(t0 + 500ms, false).window_wait, 500ms) << "refused until the second is over";
  EXPECT_EQ(count_in(segment, 1, t0 + 500ms), 2u) << "the minute keeps no trace of the refusal";
  EXPECT_TRUE(segment.admit(t0 + 1s, false).admitted);
  EXPECT_FALSE(segment.admit(t0 + 1s, false).admitted) << "the minute is full";
  EXPECT_EQ(count_in(segment, 0, t0 + 1s), 1u) << "the second keeps no trace of the refusal";
  // A clock stepped back into an earlier minute keeps the full count.
  EXPECT_FALSE(segment.admit(t0 - 5min, false).admitted);
  EXPECT_TRUE(segment.admit(t0 - 5min + 60s, false).admitted);
}

TEST_F(SegmentTest, AReadingOlderThanTheNewestWindowNeverClearsIt) {
  Segment segment = open(config_of({{1, 5}}));
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(segment.admit(t0, false).admitted);
  // Read before a stall of 3 s, or by a process whose clock runs 3 s behind.
  EXPECT_FALSE(segment.admit(t0 - 3s, false).admitted);
  EXPECT_FALSE(segment.admit(t0 + 500ms, false).admitted) << "second t0 already admitted 5";
  EXPECT_TRUE(segment.admit(t0 + 1s, false).admitted);
}

TEST_F(SegmentTest, ObjectsThatDoNotFitGiveClearErrors) {
  const auto write_object = [](const std::string& object, std::size_t size, char fill) {
    const int fd = shm_open(object_name(object)->c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(write(fd, std::string(size, fill).data(), size), static_cast<ssize_t>(size));
    close(fd);
  };
  const auto existing = [](const std::string& object) { (void)Segment::open(object, config_of({{1, 5}}, 2), 0600); };
  struct {
    std::optional<std::string> name;  // nothing: the test's own name, prepared first
    std::function<void(const std::string&)> prepare;
    OpenError::Kind kind;
    std::string says;
  } const cases[] = {
      {"a/b", nullptr, OpenError::Kind::bad_name, "'a/b' is not allowed"},
      {std::string(201, 'a'), nullptr, OpenError::Kind::bad_name, "is 1 to 200 characters"},
      {std::nullopt, existing, OpenError::Kind::mismatch,
       "exists with 5/1s, max_burst=2, max_keys=1024, which differs from the 7/1s, max_keys=1024 asked for"},
      {std::nullopt, [&](auto& object) { write_object(object, sizeof(layout::Layout), 'q'); },
       OpenError::Kind::corrupt, "magic number"},
      {std::nullopt, [&](auto& object) { write_object(object, 100, 0); }, OpenError::Kind::corrupt,
       "truncated: 100 bytes"},
  };
  for (const auto& c : cases) {
    if (c.prepare) c.prepare(name);
    const auto opened = Segment::open(c.name.value_or(name), config_of({{1, 7}}), 0600);
    ASSERT_FALSE(opened) << c.says;
    EXPECT_EQ(opened.error().kind, c.kind) << c.says;
    EXPECT_NE(opened.error().message.find(c.says), std::string::npos) << opened.error().message;
    EXPECT_NE(opened.error().message.find(c.name.value_or(name).substr(0, 50)), std::string::npos) << c.says;
    (void)Segment::remove(name);
  }
}

TEST_F(SegmentTest, PermitsOfAKilledProcessComeBackWhenTheCapRefuses) {
  Segment segment = open(config_of({{1, 100}}, 2));
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork_child([&] {
    const bool took = segment.admit(t0, true).admitted && segment.admit(t0, true).admitted;
    (void)!write(ready[1], &took, 1);
    pause();
    return 0;
  });
  bool took = false;
  ASSERT_TRUE(read(ready[0], &took, 1) == 1 && took);
  EXPECT_EQ(segment.burst_remaining(), 0u);
  kill(child, SIGKILL);
  EXPECT_EQ(exit_status(child), 128 + SIGKILL);
  EXPECT_TRUE(segment.admit(t0 + 1s, true).admitted);
  EXPECT_EQ(segment.burst_remaining(), 1u) << "both of the dead child's permits came back";
}

TEST_F(SegmentTest, AJournalLeftByADeadOwnerIsCompletedAndAnOverwrittenLockRefused) {
  Segment segment = open(config_of({{60, 10}}));
  ASSERT_TRUE(segment.admit(t0, false).admitted);
  layout::Layout* bytes = map_again();
  const pid_t child = fork_child([&] {
    pthread_mutex_lock(&mutex_of(*bytes));
    Transaction transaction(*bytes);
    transaction.set(layout::cell::window_count(0), 7);
    transaction.write_journal();
    return 0;  // dies holding the lock, before the count changed
  });
  ASSERT_EQ(exit_status(child), 0);
  ASSERT_EQ(bytes->cells[layout::cell::window_count(0)], 1u) << "the child died before applying";
  EXPECT_EQ(count_in(segment, 0, t0), 7u) << "the next owner rolled the journal forward";
  EXPECT_TRUE(segment.admit(t0, false).admitted && count_in(segment, 0, t0) == 8u) << "and the lock works on";
  mutex_of(*bytes) = pthread_mutex_t{};  // overwritten: now a plain mutex that glibc would find owned
  mutex_of(*bytes).__data.__owner = 1;
  EXPECT_EQ(segment.admit(t0, false).fault, Fault::unrecoverable_lock) << "an error, not an abort";
}

TEST_F(SegmentTest, AForkedChildHoldsItsOwnPermitsOnly) {
  Segment segment = open(config_of({{1, 100}}, 3));
  ASSERT_TRUE(segment.admit(t0, true).admitted);
  const pid_t child = fork_child([&] {
    segment.release_permit();  // the parent's permit is not the child's to give back
    if (segment.burst_remaining() != 2u) return 1;
    if (!segment.admit(t0, true).admitted) return 2;
    return segment.burst_remaining() == 1u ? 0 : 3;
  });
  EXPECT_EQ(exit_status(child), 0);
  segment.release_permit();
  segment.release_permit();
  EXPECT_EQ(segment.burst_remaining(), 2u) << "the parent gave back its own permit, not the child's";
}

TEST_F(SegmentTest, AReleaseWakesASleeperOfAnotherProcess) {
  Segment segment = open(config_of({{1, 100}}, 1));
  layout::Layout* bytes = map_again();
  const std::uint32_t seen = segment.wake_word();
  const pid_t child = fork_child([&] {
    auto releaser = Segment::open(name, segment.config(), 0600);  // its own mapping, at another address
    if (!releaser || !releaser->admit(t0, true).admitted) return 1;
    const std::atomic_ref<std::uint32_t> sleepers(bytes->sleepers);
    for (int i = 0; i < 5000 && sleepers.load() == 0; ++i) usleep(1000);
    releaser->release_permit();
    return 0;
  });
  const Segment::WaitEnd end = segment.wait_for_release(seen, monotonic_in(10s));
  EXPECT_TRUE(end == Segment::WaitEnd::woken || end == Segment::WaitEnd::changed);
  EXPECT_EQ(exit_status(child), 0);
  EXPECT_EQ(segment.wait_for_release(segment.wake_word(), monotonic_in(1ms)), Segment::WaitEnd::timed_out);
}

bool asleep(pid_t tid) {  // state S in /proc: in the futex, for these threads
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  const std::string line((std::istreambuf_iterator<char>(stat)), {});
  return line.find(") S ") != std::string::npos;
}

TEST_F(SegmentTest, AReleaseWakesOneSleeperNotAll) {
  Segment segment = open(config_of({{1, 100}}, 1));
  ASSERT_TRUE(segment.admit(t0, true).admitted);
  const std::uint32_t seen = segment.wake_word();
  std::atomic<pid_t> tids[2] = {0, 0};
  std::atomic<int> woken{0};
  std::vector<std::thread> sleepers;
  for (auto& tid : tids) {
    sleepers.emplace_back([&] {
      tid = gettid();
      if (segment.wait_for_release(seen, monotonic_in(4s)) != Segment::WaitEnd::timed_out) ++woken;
    });
  }
  for (int i = 0; i < 10000 && !(tids[0] && tids[1] && asleep(tids[0]) && asleep(tids[1])); ++i) usleep(1000);
  segment.release_permit();
  for (std::thread& sleeper : sleepers) sleeper.join();
  EXPECT_EQ(woken.load(), 1) << "the other sleeper sleeps on to its deadline";
}

TEST_F(SegmentTest, ARemovedNameKeepsWorkingForMappingsStillOpen) {
  Segment first = open(config_of({{60, 1}}));
  ASSERT_TRUE(Segment::remove(name));
  EXPECT_TRUE(first.admit(t0, false).admitted);
  EXPECT_FALSE(first.admit(t0, false).admitted);
  EXPECT_TRUE(open(config_of({{60, 1}})).admit(t0, false).admitted) << "a new segment, with counts of its own";
  ASSERT_TRUE(Segment::remove(name));
  const auto again = Segment::remove(name);
  EXPECT_TRUE(!again && again.error().kind == OpenError::Kind::os && again.error().error_number == ENOENT);
}

}  // namespace
}  // namespace quellgate::shared_memory
