#include "engine/window_table.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <stdexcept>

#include "engine/admission.hpp"
#include "engine/report.hpp"
#include "fake_clock.hpp"

namespace quellgate::engine {
namespace {

using namespace std::chrono_literals;
using testing::make_core;
using testing::utc;

void break_table(const LimiterCore& core) {
  EXPECT_THROW(core.window_table().with_lock([](std::span<WindowState>) -> int {
    throw std::runtime_error("fault inside the table lock");
  }),
               std::runtime_error);
}

TEST(WindowTableTest, SectionSeesTheWindowsAndItsResultComesBack) {
  const auto core = make_core({.sec = 2, .day = 9});
  const auto limits = core.window_table().with_lock([](std::span<WindowState> windows) {
    return windows.size() == 2 ? windows[0].limit * 10 + windows[1].limit : 0;
  });
  EXPECT_EQ(limits, 29u);
}

TEST(WindowTableTest, SectionThatThrowsBreaksTheTableForGood) {
  const auto core = make_core({.sec = 2});
  break_table(core);
  bool ran = false;
  const auto result = core.window_table().with_lock([&](std::span<WindowState>) { return ran = true; });
  EXPECT_FALSE(result.has_value());
  EXPECT_FALSE(ran);
  EXPECT_FALSE(core.window_table().with_lock([](std::span<WindowState>) { return 0; }).has_value());
}

TEST(WindowTableTest, ExceptionHandledInsideTheSectionLeavesTheTableWhole) {
  const auto core = make_core({.sec = 2});
  const auto result = core.window_table().with_lock([](std::span<WindowState>) {
    try {
      throw std::runtime_error("handled");
    } catch (const std::runtime_error&) {
      return 1;
    }
  });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(try_admit(core, utc(12, 0, 0)), Admission::admitted);
}

TEST(WindowTableTest, SectionRunFromAnUnwindingDestructorDoesNotBreakTheTable) {
  // Locking during another exception's unwinding is not a fault of the section.
  const auto core = make_core({.sec = 2});
  struct AdmitOnUnwind {
    const LimiterCore& core;
    Admission* out;
    ~AdmitOnUnwind() { *out = try_admit(core, utc(12, 0, 0)); }
  };
  Admission seen = Admission::refused;
  try {
    AdmitOnUnwind admit{core, &seen};
    throw std::runtime_error("unrelated");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(seen, Admission::admitted);
  EXPECT_EQ(try_admit(core, utc(12, 0, 0)), Admission::admitted);
}

TEST(WindowTableTest, BrokenTableInterruptsAdmissionsAndGivesPermitsBack) {
  const auto core = make_core({.sec = 5, .max_burst = 2});
  ASSERT_EQ(try_admit(core, utc(12, 0, 0)), Admission::admitted);
  break_table(core);

  EXPECT_EQ(try_admit(core, utc(12, 0, 0)), Admission::interrupted);
  AdmissionLoop loop(core);
  EXPECT_EQ(loop.next(utc(12, 0, 0)).kind, AdmissionStep::Kind::interrupted);
  int sleeps = 0;
  const auto give_up_after_a_while = [&](const AdmissionStep&, const LimiterCore&) { return ++sleeps > 100; };
  EXPECT_EQ(admit_blocking(core, [] { return utc(12, 0, 1); }, give_up_after_a_while),
            Admission::interrupted);
  EXPECT_EQ(sleeps, 0) << "a broken table ends the wait at once";
  EXPECT_EQ(core.burst_in_use().load(), 1u) << "only the permit admitted before the break";
}

TEST(WindowTableTest, BrokenTableReportsOnlyBurstAndNoWait) {
  const auto core = make_core({.sec = 1, .max_burst = 2});
  ASSERT_EQ(try_admit(core, utc(12, 0, 0)), Admission::admitted);
  ASSERT_TRUE(compute_wait(core, utc(12, 0, 0)).has_value());
  break_table(core);

  const RemainingReport report = report_remaining(core, utc(12, 0, 0));
  ASSERT_EQ(report.size, 1u);
  EXPECT_EQ(report.entries[0].name, "burst");
  EXPECT_EQ(report.entries[0].remaining, 1u);
  EXPECT_EQ(compute_wait(core, utc(12, 0, 0)), std::nullopt);

  const auto uncapped = make_core({.sec = 1});
  break_table(uncapped);
  EXPECT_EQ(report_remaining(uncapped, utc(12, 0, 0)).size, 0u);
}

}  // namespace
}  // namespace quellgate::engine
