#include "common/exception.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Exception, MessageCodeAndPrintedText) {
  const std::string long_text(250, 'x');
  const struct {
    exception_t e;
    std::string message, printed;
    int code;
  } cases[] = {
      {exception_t("assertion failed. %s:%d (%s)", "flash_x3", 475, "s"),
       "assertion failed. flash_x3:475 (s)", "assertion failed. flash_x3:475 (s)\n", 6},
      {exception_t("%s-tail", long_text.c_str()), long_text.substr(0, 199), long_text.substr(0, 199) + "\n", 6},
      {exception_t(42), "", "", 42},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    c.e.print();
    EXPECT_EQ(c.printed, testing::internal::GetCapturedStdout()) << c.message;
    EXPECT_EQ(c.message, c.e.message);
    EXPECT_EQ(c.code, c.e.code);
  }
}

}  // namespace
