#include "flashing/hex_field.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// Every text of up to three characters over digits, letters either side of
// the hex range, signs, prefix letters and blanks, then longer awkward ones.
std::vector<std::string> texts() {
  const std::string alphabet = "019afAFgGxX+- \t\r\n";
  std::vector<std::string> out = {""};
  for (size_t begin = 0, length = 0; length < 3; ++length) {
    const size_t end = out.size();
    for (size_t i = begin; i < end; ++i) {
      for (char c : alphabet) out.push_back(out[i] + c);
    }
    begin = end;
  }
  for (const char* text : {"FFFFFFFF", "12345678", "123456789", "deadBEEF", "  12345678", "-80000000", "+7fffffff",
                           "0xFFFFFFFF", "00x1", "12\r\n", "1234567g", "9abcdefZ", "ffffffffff",
                           "  -0x1F", "+0x7fffffff", " \t-ffffffff", "0x123456789"}) {
    out.push_back(text);
  }
  return out;
}

TEST(HexField, ReadsEveryTextLikeSscanf) {
  for (const std::string& text : texts()) {
    for (int width : {1, 2, 3, 4, 8}) {
      // Exactly the text's bytes on the heap: the sanitizer build sees a
      // read past the terminator.
      std::unique_ptr<char[]> exact(new char[text.size() + 1]);
      memcpy(exact.get(), text.c_str(), text.size() + 1);
      char format[8];
      snprintf(format, sizeof format, "%%%dx", width);
      unsigned int expected = 0x5A5A5A5A;
      const bool expected_read = sscanf(text.c_str(), format, &expected) == 1;
      uint32_t value = 0x5A5A5A5A;
      EXPECT_EQ(expected_read, parse_hex_field(exact.get(), width, &value)) << width << " \"" << text << '"';
      EXPECT_EQ(expected, value) << width << " \"" << text << '"';
    }
  }
}

}  // namespace
