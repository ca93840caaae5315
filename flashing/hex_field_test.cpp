#include "flashing/hex_field.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const uint32_t UNTOUCHED = 0x5A5A5A5A;

// Compares parse_hex_field with sscanf on `text`. The text is copied into a
// heap block of exactly its size, so that the sanitizer build catches a
// read past the terminating NUL.
void expect_like_sscanf(const std::string& text, int width) {
  SCOPED_TRACE("width " + std::to_string(width) + ", text \"" + text + "\"");
  std::unique_ptr<char[]> exact(new char[text.size() + 1]);
  memcpy(exact.get(), text.c_str(), text.size() + 1);

  char format[8];
  snprintf(format, sizeof format, "%%%dx", width);
  unsigned int expected = UNTOUCHED;
  const bool expected_read = sscanf(text.c_str(), format, &expected) == 1;

  uint32_t value = UNTOUCHED;
  EXPECT_EQ(parse_hex_field(exact.get(), width, &value), expected_read);
  EXPECT_EQ(value, expected);
}

TEST(HexField, AwkwardFieldsReadLikeSscanf) {
  const char* const texts[] = {
      "ff", "FF", "a5", "00", "0", "f", "FFFFFFFF", "12345678", "123456789", "deadBEEF",
      " 1", "  ", "\t7", "\r\n", "\n5", "  12345678", "+f", "+", "-1", "-", "-ff", "-80000000",
      "+7fffffff", "0x", "0X1", "0x1f", "0xFFFFFFFF", "00x1", "x1", "1g", "g1", "1 ", "1\r\n",
      "12\r\n", "", "z", "--1", "+-1", "0x-1", "1234567g", "9abcdefZ", "ffffffffff",
      "  -0x1F", "+0x7fffffff", " \t-ffffffff", "0x123456789",
  };
  for (const char* text : texts) {
    for (int width : {1, 2, 4, 8}) expect_like_sscanf(text, width);
  }
}

// Every text of up to three characters over an alphabet of digits, letters
// near the digits, signs, prefix letters and blanks.
TEST(HexField, ShortTextsOverMixedAlphabet) {
  const std::string alphabet = "019afAFgGxX+- \t\r\n";
  std::vector<std::string> texts = {""};
  for (size_t begin = 0, length = 0; length < 3; ++length) {
    const size_t end = texts.size();
    for (size_t i = begin; i < end; ++i) {
      for (char c : alphabet) texts.push_back(texts[i] + c);
    }
    begin = end;
  }
  for (const std::string& text : texts) {
    for (int width : {1, 2, 3}) expect_like_sscanf(text, width);
  }
}

}  // namespace
