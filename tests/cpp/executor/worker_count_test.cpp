#include "executor/worker_count.hpp"

#include <gtest/gtest.h>

#include "executor/count_variable.hpp"

#include <stdexcept>
#include <string>

namespace quellgate::executor {
namespace {

std::string failure_for(const std::string& value) {
  try {
    resolve_worker_count(value, 4);
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "accepted";
}

TEST(WorkerCount, UnsetVariableUsesTheProcessorCountButNeverZero) {
  EXPECT_EQ(resolve_worker_count(std::nullopt, 4), 4u);
  EXPECT_EQ(resolve_worker_count(std::nullopt, 0), 1u);
}

TEST(WorkerCount, AcceptsUnsignedDecimalWithOneOptionalPlus) {
  EXPECT_EQ(resolve_worker_count("2", 4), 2u);
  EXPECT_EQ(resolve_worker_count("+3", 4), 3u);
  EXPECT_EQ(resolve_worker_count("007", 4), 7u);
  EXPECT_EQ(resolve_worker_count("18446744073709551615", 4), 18446744073709551615u);
}

TEST(WorkerCount, ZeroIsRefusedWhateverItsSpelling) {
  for (const char* zero : {"0", "+0", "000"}) {
    EXPECT_EQ(failure_for(zero), "\"OSKEN_WORKER_THREADS\" cannot be set to 0") << zero;
  }
}

TEST(WorkerCount, ParseFailuresNameTheReasonAndTheValue) {
  EXPECT_EQ(failure_for(""),
            "\"OSKEN_WORKER_THREADS\" must be usize, error: cannot parse integer from empty string, value: ");
  for (const char* bad : {" 2", "2 ", "two", "-1", "+", "++2", "1_0", "0x10", "-0"}) {
    EXPECT_EQ(failure_for(bad), std::string("\"OSKEN_WORKER_THREADS\" must be usize, error: invalid digit found in "
                                            "string, value: ") + bad);
  }
  EXPECT_EQ(failure_for("18446744073709551616"),
            "\"OSKEN_WORKER_THREADS\" must be usize, error: number too large to fit in target type, value: "
            "18446744073709551616");
}

TEST(WorkerCount, InvalidUtf8IsRefusedBeforeParsing) {
  const std::string message = failure_for("2\xff");
  EXPECT_EQ(message.rfind("\"OSKEN_WORKER_THREADS\" must be valid unicode, error: ", 0), 0u) << message;
  EXPECT_NE(message.find("\\xff"), std::string::npos) << message;
}

TEST(Utf8Validation, AcceptsEveryEncodingLengthAndRejectsMalformedSequences) {
  for (const char* valid : {"", "plain", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9d\x84\x9e", "\xf4\x8f\xbf\xbf"}) {
    EXPECT_FALSE(describe_invalid_utf8(valid)) << valid;
  }
  for (const char* invalid : {"\xc0\xaf", "\xed\xa0\x80", "\xe2\x82", "\xf4\x90\x80\x80", "\x80", "\xf8\x88\x80\x80"}) {
    EXPECT_TRUE(describe_invalid_utf8(invalid)) << invalid;
  }
}

}  // namespace
}  // namespace quellgate::executor
