#include "common/exception.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string printed(const exception_t& e) {
  testing::internal::CaptureStdout();
  e.print();
  return testing::internal::GetCapturedStdout();
}

TEST(Exception, AssertionFormatCarriesSourceLineAndCondition) {
  try {
    require(false, "flash_x3", 475, "s");
    FAIL() << "require(false) returned";
  } catch (const exception_t& e) {
    EXPECT_STREQ("assertion failed. flash_x3:475 (s)", e.message);
    EXPECT_EQ(6, e.code);
    EXPECT_EQ("assertion failed. flash_x3:475 (s)\n", printed(e));
  }
}

TEST(Exception, RequireThatHoldsThrowsNothing) {
  EXPECT_NO_THROW(require(true, "qb_server", 20, "this && port > 0"));
}

TEST(Exception, CodeConstructorPrintsNothing) {
  exception_t e(42);
  EXPECT_EQ(42, e.code);
  EXPECT_EQ("", printed(e));
}

TEST(Exception, LongTextIsCutTo199Characters) {
  const std::string long_text(250, 'x');
  exception_t e("%s-%s", long_text.c_str(), "tail");
  EXPECT_EQ(std::string(199, 'x'), e.message);
}

TEST(Exception, PlainTextIsKeptAsIs) {
  exception_t e("malloc failed");
  EXPECT_EQ("malloc failed\n", printed(e));
}

}  // namespace
