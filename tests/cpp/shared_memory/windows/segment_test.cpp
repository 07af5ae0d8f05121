#include "shared_memory/segment.hpp"

#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>

#include "shared_memory/journal.hpp"
#include "shared_memory/mapping.hpp"
#include "shared_memory/segment_lock.hpp"

namespace quellgate::shared_memory {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;
constexpr nanoseconds t0 = 1'700'000'000s;  // a whole minute
constexpr const char* child_variable = "QUELLGATE_SHM_TEST_CHILD";

SharedConfig config_of(WindowSpec window, std::uint64_t max_burst = 0) {
  SharedConfig config;
  config.windows[0] = window;
  config.window_count = 1;
  config.max_burst = max_burst;
  return config;
}

nanoseconds monotonic_in(nanoseconds delay) { return std::chrono::steady_clock::now().time_since_epoch() + delay; }

// What a child process (this executable again, told by the environment)
// does with the segment `name`, before it is killed or exits.
int run_child(const std::string& role, const std::string& name) {
  if (role == "hold-permits") {
    auto segment = Segment::open(name, config_of({1, 100}, 2), std::nullopt);
    if (!segment || !segment->admit(t0, true).admitted || !segment->admit(t0, true).admitted) return 1;
  } else if (role == "die-in-section") {
    auto mapping = open_mapping(name, config_of({60, 10}), std::nullopt);
    if (!mapping) return 1;
    const SegmentLock lock(**mapping);
    Transaction transaction((*mapping)->segment(), (*mapping)->cell_count());
    transaction.set(layout::cell::window_count(0), 7);
    transaction.write_journal();
    Sleep(INFINITE);  // killed holding the lock, before the count changed
  } else if (role == "release") {
    auto mapping = open_mapping(name, config_of({1, 100}, 1), std::nullopt);
    auto segment = Segment::open(name, config_of({1, 100}, 1), std::nullopt);
    if (!mapping || !segment || !segment->admit(t0, true).admitted) return 1;
    const std::atomic_ref<std::uint32_t> sleepers((*mapping)->segment().sleepers);
    for (int i = 0; i < 5000 && sleepers.load() == 0; ++i) Sleep(1);
    segment->release_permit();
    return 0;
  }
  Sleep(INFINITE);
  return 0;
}

// Before main: a child runs its role and never reaches the tests.
[[maybe_unused]] const bool child_ran = [] {
  const char* child = std::getenv(child_variable);
  if (child == nullptr) return false;
  const std::string text = child;
  ExitProcess(static_cast<UINT>(run_child(text.substr(0, text.find(' ')), text.substr(text.find(' ') + 1))));
}();

struct Child {
  PROCESS_INFORMATION process{};
  ~Child() {
    TerminateProcess(process.hProcess, 99);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  DWORD kill_and_wait() const {
    TerminateProcess(process.hProcess, 9);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    return code;
  }
};

class WindowsSegmentTest : public testing::Test {
 protected:
  const std::string name = "wtest-" + std::to_string(GetCurrentProcessId()) + "-" +
                           testing::UnitTest::GetInstance()->current_test_info()->name();
  void TearDown() override { (void)Segment::remove(name); }

  Segment open(const SharedConfig& config) {
    auto segment = Segment::open(name, config, std::nullopt);
    if (!segment) ADD_FAILURE() << segment.error().message;
    return std::move(segment).value();
  }
  void start(Child& child, const std::string& role) {
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    SetEnvironmentVariableA(child_variable, (role + " " + name).c_str());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    std::wstring command = L"child";
    ASSERT_TRUE(CreateProcessW(exe, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &child.process));
    SetEnvironmentVariableA(child_variable, nullptr);
  }
  static bool soon(const std::function<bool()>& condition) {
    for (int i = 0; i < 10000; ++i, Sleep(1)) {
      if (condition()) return true;
    }
    return false;
  }
  std::uint64_t count_in(Segment& segment) {
    std::array<engine::WindowState, 4> windows{};
    return segment.read_windows(t0, windows) == Fault::none ? windows[0].count : ~0ull;
  }
};

TEST_F(WindowsSegmentTest, AHolderKilledInItsSectionLeavesTheLockAbandonedAndItsJournalIsCompleted) {
  Segment segment = open(config_of({60, 10}));
  ASSERT_TRUE(segment.admit(t0, false).admitted);
  Child child;
  start(child, "die-in-section");
  std::array<engine::WindowState, 4> windows{};
  ASSERT_TRUE(soon([&] { return segment.read_windows(t0, windows) == Fault::lock_busy; }));
  EXPECT_EQ(segment.wait_for_lock(monotonic_in(20ms)), Fault::lock_busy) << "a bounded wait";
  const std::string holder = "process " + std::to_string(child.process.dwProcessId) + ", which does not let it go";
  EXPECT_NE(segment.describe(Fault::lock_stuck).find(holder), std::string::npos) << segment.describe(Fault::lock_stuck);
  EXPECT_EQ(child.kill_and_wait(), 9u);
  EXPECT_EQ(count_in(segment), 7u) << "the next owner rolled the journal forward";
  EXPECT_TRUE(segment.admit(t0, false).admitted && count_in(segment) == 8u) << "and the lock works on";
}

TEST_F(WindowsSegmentTest, PermitsOfAKilledProcessComeBackWhenTheCapRefuses) {
  Segment segment = open(config_of({1, 100}, 2));
  Child child;
  start(child, "hold-permits");
  ASSERT_TRUE(soon([&] { return segment.burst_remaining() == 0u; }));
  child.kill_and_wait();
  EXPECT_TRUE(segment.admit(t0 + 1s, true).admitted);
  EXPECT_EQ(segment.burst_remaining(), 1u) << "both of the dead child's permits came back";
}

TEST_F(WindowsSegmentTest, AReleaseWakesASleeperOfAnotherProcess) {
  Segment segment = open(config_of({1, 100}, 1));
  const std::uint32_t seen = segment.wake_word();
  Child child;
  start(child, "release");
  const Segment::WaitEnd end = segment.wait_for_release(seen, monotonic_in(10s));
  EXPECT_TRUE(end == Segment::WaitEnd::woken || end == Segment::WaitEnd::changed);
  WaitForSingleObject(child.process.hProcess, INFINITE);
  DWORD code = 1;
  EXPECT_TRUE(GetExitCodeProcess(child.process.hProcess, &code) && code == 0);
  EXPECT_EQ(segment.wait_for_release(segment.wake_word(), monotonic_in(1ms)), Segment::WaitEnd::timed_out);
}

TEST_F(WindowsSegmentTest, CountsOutliveTheirMappingsUntilRemovedAndARemovedNameIsFreeAtOnce) {
  EXPECT_TRUE(open(config_of({60, 1})).admit(t0, false).admitted);
  Segment first = open(config_of({60, 1}));
  EXPECT_FALSE(first.admit(t0, false).admitted) << "the count outlived the mapping that made it";
  ASSERT_TRUE(Segment::remove(name));
  EXPECT_FALSE(first.admit(t0, false).admitted) << "its own segment, still full";
  EXPECT_TRUE(open(config_of({60, 1})).admit(t0, false).admitted) << "a new segment, with counts of its own";
  ASSERT_TRUE(Segment::remove(name));
  const auto again = Segment::remove(name);
  EXPECT_TRUE(!again && again.error().kind == OpenError::Kind::os && again.error().error_number == ENOENT);
  const auto shared = Segment::open(name, config_of({60, 1}), 0660);
  EXPECT_TRUE(!shared && shared.error().error_number == EINVAL) << "no mode shares a segment with other users";
}

}  // namespace
}  // namespace quellgate::shared_memory
