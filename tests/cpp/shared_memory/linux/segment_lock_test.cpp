#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>

#include "shared_memory/layout.hpp"
#include "shared_memory/segment_lock.hpp"
#include "shared_memory/object_name.hpp"
#include "shared_memory/segment.hpp"

namespace quellgate::shared_memory {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;
constexpr nanoseconds t0 = 1'700'000'000s;

nanoseconds monotonic_in(nanoseconds delay) { return std::chrono::steady_clock::now().time_since_epoch() + delay; }

TEST(SegmentLockTest, ALockHeldElsewhereIsReportedBusyAndItsHolderNamed) {
  const std::string name = "lock-test-" + std::to_string(getpid());
  SharedConfig config;
  config.windows[0] = {1, 5};
  config.window_count = 1;
  config.max_burst = 2;
  auto segment = Segment::open(name, config, 0600);
  ASSERT_TRUE(segment) << segment.error().message;
  const int fd = shm_open(object_name(name)->c_str(), O_RDWR, 0);
  auto* bytes = static_cast<layout::Layout*>(mmap(nullptr, sizeof(layout::Layout), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  close(fd);
  int ready[2], go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  const pid_t child = fork();
  if (child == 0) {
    char byte = 0;
    pthread_mutex_lock(&mutex_of(*bytes));
    _exit(write(ready[1], "h", 1) == 1 && read(go[0], &byte, 1) == 1 && pthread_mutex_unlock(&mutex_of(*bytes)) == 0 ? 0 : 1);
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);

  EXPECT_EQ(segment->admit(t0, true).fault, Fault::lock_busy) << "tried, not waited for";
  EXPECT_EQ(segment->release_permit(), Fault::lock_busy);
  EXPECT_TRUE(segment->burst_remaining() == std::unexpected(Fault::lock_busy));
  std::array<engine::WindowState, 4> windows{};
  EXPECT_EQ(segment->read_windows(t0, windows), Fault::lock_busy);
  EXPECT_TRUE(segment->window_wait(t0) == std::unexpected(Fault::lock_busy));
  EXPECT_EQ(segment->wait_for_lock(monotonic_in(20ms)), Fault::lock_busy) << "a bounded wait";
  const std::string holder = "process " + std::to_string(child);
  EXPECT_NE(segment->describe(Fault::lock_stuck).find(holder + ", which does not let it go"), std::string::npos);
  kill(child, SIGSTOP);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, WUNTRACED), child);
  EXPECT_NE(segment->describe(Fault::lock_stuck).find(holder + ", which is stopped"), std::string::npos)
      << segment->describe(Fault::lock_stuck);
  kill(child, SIGCONT);

  ASSERT_EQ(write(go[1], "g", 1), 1);
  EXPECT_EQ(segment->wait_for_lock(monotonic_in(10s)), Fault::none);
  EXPECT_TRUE(segment->admit(t0, true).admitted) << "and the lock works on";
  EXPECT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  munmap(bytes, sizeof(layout::Layout));
  (void)Segment::remove(name);
}

}  // namespace
}  // namespace quellgate::shared_memory
