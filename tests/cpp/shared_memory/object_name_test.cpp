#include "shared_memory/object_name.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace quellgate::shared_memory {
namespace {

std::uint64_t call_of(const std::string& temporary) { return std::stoull(temporary.substr(temporary.rfind('.') + 1)); }

TEST(TemporaryName, RecordsItsCreatorWithinNameMaxAndNothingElseParses) {
  const ProcessIdentity creator{4194303, 18446744073709551615ULL, 4026531836};
  const std::string object = temporary_object_name(std::string(200, 'n'), creator);
  EXPECT_LE(object.size() - 1, std::size_t{NAME_MAX});
  const auto parsed = temporary_creator(object.substr(1));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(std::tuple(parsed->pid, parsed->start_time, parsed->pid_namespace),
            std::tuple(creator.pid, creator.start_time, creator.pid_namespace));
  for (const char* other : {"quellgate.1.name", "quellgate.1~name~12~0", "quellgate.1~name~1.2.3", "quellgate.1~n~1.2.3.x",
                            "quellgate.1~n~1.2.3.4.5", "quellgate.0~n~1.2.3.4", "quellgate.1~n~1..3.4"}) {
    EXPECT_FALSE(temporary_creator(other)) << other;
  }
}

// The next temporary names of this live process are taken: creation passes
// them over and leaves them, since their creator is not gone.
TEST(TemporaryName, ANameTakenByALiveProcessIsPassedOver) {
  const std::string name = "tmp-" + std::to_string(getpid());
  const ProcessIdentity me = current_identity();
  const std::uint64_t next = call_of(temporary_object_name(name, me)) + 1;
  std::vector<std::string> taken;
  for (std::uint64_t call = next; call < next + 3; ++call) {
    taken.push_back("/quellgate.1~" + name + "~" + std::to_string(me.pid) + "." + std::to_string(me.start_time) + "." +
                    std::to_string(me.pid_namespace) + "." + std::to_string(call));
    close(shm_open(taken.back().c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
  }
  SharedConfig config;
  config.windows[config.window_count++] = WindowSpec{1, 5};
  const auto opened = Segment::open(name, config, std::nullopt);
  EXPECT_TRUE(opened) << opened.error().message;
  for (const std::string& object : taken) EXPECT_EQ(shm_unlink(object.c_str()), 0) << object;
  (void)Segment::remove(name);
}

}  // namespace
}  // namespace quellgate::shared_memory
