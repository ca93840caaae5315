#include "flashing/s19_loader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

using byte_list = std::vector<uint32_t>;
using stored_list = std::vector<std::pair<uint32_t, uint32_t>>;  // offset, word

// An S3 record for `bytes` at `address`, with the right count and checksum.
std::string s3(uint32_t address, const byte_list& bytes, const char* line_end = "\n") {
  char field[16];
  const uint32_t count = static_cast<uint32_t>(bytes.size()) + 5;
  snprintf(field, sizeof field, "S3%02X%08X", count, address);
  std::string line = field;
  uint32_t sum = count + (address >> 24) + (address >> 16) + (address >> 8) + address;
  for (uint32_t b : bytes) {
    snprintf(field, sizeof field, "%02X", b);
    line += field;
    sum += b;
  }
  snprintf(field, sizeof field, "%02X", ~sum & 0xFF);
  return line + field + line_end;
}

struct load_result_t {
  int result;
  std::string output;
  std::vector<uint32_t> image;
  int above_64k;
  uint32_t beyond;
};

load_result_t load(const std::string& input) {
  load_result_t r{0, "", std::vector<uint32_t>(FLASH_IMAGE_WORDS, NO_DATA), 0, 0};
  FILE* in = fmemopen(const_cast<char*>(input.data()), input.size(), "r");
  if (in == nullptr) ADD_FAILURE() << "fmemopen failed";
  image_above_64k = 0;
  testing::internal::CaptureStdout();
  r.result = load_s19_image(r.image.data(), in, &r.beyond);
  r.output = testing::internal::GetCapturedStdout();
  r.above_64k = image_above_64k;
  fclose(in);
  return r;
}

// Checks the whole image: `stored` words as listed, every other word blank.
void expect_image(const std::vector<uint32_t>& image, const stored_list& stored) {
  std::vector<uint32_t> expected(FLASH_IMAGE_WORDS, NO_DATA);
  for (const auto& [offset, word] : stored) expected[offset] = word;
  int reported = 0;
  for (uint32_t k = 0; k < FLASH_IMAGE_WORDS && reported < 5; ++k) {
    if (image[k] != expected[k]) {
      ADD_FAILURE() << std::hex << "word 0x" << k << " is 0x" << image[k] << ", expected 0x"
                    << expected[k];
      ++reported;
    }
  }
}

const char* const MISSING_END = "Missing S7/S9 termination record\n";
const char* const LENGTH_ERROR = "Error with length field\n";

std::string checksum_error(const std::string& line) {
  return "Checksum error on line:\n" + line + "\n";
}

// A record of count 0xFE, 249 data bytes summing with count and address to
// 0xFF, so its checksum is "00" and starts at character 510: the line is
// 512 characters and a line end, and its first 511 hold only the first 0
// of the checksum.
std::string record_cut_in_checksum() {
  byte_list bytes(249, 0x00);
  bytes[0] = 0x01;
  return s3(0, bytes);
}

// The longest record that fits the line buffer: count 253, 510 characters.
const byte_list LONGEST_DATA(248, 0x5A);

// Fourteen records of 29 bytes with carriage returns alone for line ends,
// as an editor set to old Macintosh line ends writes them: 73 characters
// each, so seven fill the line buffer exactly and every piece the buffer
// takes starts with a record, the third with the end record.
std::string cr_only_records() {
  std::string text;
  for (uint32_t r = 0; r < 14; ++r) text += s3(29 * r, byte_list(29, r), "\r");
  return text + "S9030000FC\r\r\n--boundary--\r\n";
}

stored_list stored_bytes(uint32_t address, const byte_list& bytes) {
  stored_list words;
  for (uint32_t b : bytes) words.push_back({address++, b});
  return words;
}

struct load_case_t {
  const char* name;
  std::string input;
  int result;
  std::string output;
  stored_list stored;
  int above_64k;
  uint32_t beyond = 0;  // the offset reported with S19_OUT_OF_RANGE
};

const std::string S9 = "S9030000FC\n";
const std::string LONG_RECORD = s3(0x100, {1, 2, 3, 4, 5});  // S30A00000100...

const load_case_t LOAD_CASES[] = {
    {"file as written by the binutils srec writer",
     "S0090000682E73726563B3\r\nS30A0000000048656C6C6F01\r\nS70500000000FA\r\n", 0, "",
     {{0, 'H'}, {1, 'e'}, {2, 'l'}, {3, 'l'}, {4, 'o'}}, 0},
    {"S9 ends the file", s3(0x10, {1, 2}) + S9, 0, "", {{0x10, 1}, {0x11, 2}}, 0},
    {"CRLF line ends", s3(0x10, {0xA5}, "\r\n") + "S9030000FC\r\n", 0, "", {{0x10, 0xA5}}, 0},
    {"records without data and stray text are skipped",
     "S00600004844521B\nS1050010AA40\nS206000010AA3F\nS5030001FB\n" + std::string("s") +
         s3(0x20, {7}).substr(1) + "hello\n\n" + s3(0x21, {8}) + S9,
     0, "", {{0x21, 8}}, 0},
    {"only S1 and S2 data loads nothing", "S1050010AA40\nS206000010AA3F\n" + S9, 0, "", {}, 0},
    {"count 5 stores nothing", "S30500000100F9\n" + S9, 0, "", {}, 0},
    {"count below 5 takes the checksum at 12", "S30300000000FC\n" + S9, 0, "", {}, 0},
    {"last record for an offset wins", s3(0x20, {1, 2, 3}) + s3(0x21, {0x99}) + S9, 0, "",
     {{0x20, 1}, {0x21, 0x99}, {0x22, 3}}, 0},
    {"last byte of the image", s3(0x7FFFF, {0xAB}) + S9, 0, "", {{0x7FFFF, 0xAB}}, 1},
    {"a byte at 0x10000 sets the above-64k flag", s3(0xFFFF, {1, 2}) + S9, 0, "", {{0xFFFF, 1}, {0x10000, 2}}, 1},
    {"above-64k flag stays set when a later record fails",
     s3(0x10000, {7}) + "S30600000010AB00\n" + S9, -1, checksum_error("S30600000010AB00\n"),
     {{0x10000, 7}, {0x10, 0xAB}}, 1},
    {"checksum error keeps the bytes already stored and prints the line",
     "S30600000010AB00\r\n" + S9, -1, checksum_error("S30600000010AB00\r\n"), {{0x10, 0xAB}}, 0},
    {"S3 alone", "S3\n" + S9, -1, LENGTH_ERROR, {}, 0},
    {"S3 alone at end of input", "S3", -1, LENGTH_ERROR, {}, 0},
    {"count -1 reads as all ones", "S3-100000000FF\n" + S9, -1, LENGTH_ERROR, {}, 0},
    {"count written with a sign", "S3+600000010AB3E\n" + S9, 0, "",
     {{0x10, 0xAB}}, 0},
    {"unreadable data field keeps the earlier byte and adds it to the sum",
     s3(0x30, {0x12}) + "S30600000030zzB7\n" + S9, 0, "", {{0x30, 0x12}}, 0},
    {"data field -1 replaces the word with all ones",
     s3(0x30, {0x12}) + "S30600000030-1CA\n" + S9, 0, "", {{0x30, NO_DATA}}, 0},
    {"unreadable address stores nothing", "S306zzzzzzzzAB00\n" + S9, -1,
     checksum_error("S306zzzzzzzzAB00\n"), {}, 0},
    {"unreadable checksum never matches", "S30600000010ABzz\n" + S9, -1,
     checksum_error("S30600000010ABzz\n"), {{0x10, 0xAB}}, 0},
    // The second line is short; after its NUL the buffer still holds the
    // data and checksum of the first, which would make a sound record.
    {"fields past the end of a line are not read",
     LONG_RECORD + "S30A00000100\n" + S9, -1, checksum_error("S30A00000100\n"),
     {{0x100, 1}, {0x101, 2}, {0x102, 3}, {0x103, 4}, {0x104, 5}}, 0},
    // Lines longer than the buffer arrive in pieces: an S3 record is taken
    // only when its line ends inside the buffer, and the rest of any long
    // line is never read as a line of its own.
    {"record cut by the line limit inside its checksum", record_cut_in_checksum() + S9, -1,
     checksum_error(record_cut_in_checksum().substr(0, 511)), {}, 0},
    {"count 253 with CR LF fills the buffer up to the line feed",
     s3(0x200, LONGEST_DATA, "\r\n") + S9, 0, "", stored_bytes(0x200, LONGEST_DATA), 0},
    {"count 253 with CR at the end of input", s3(0x200, LONGEST_DATA, "\r"), -1, MISSING_END,
     stored_bytes(0x200, LONGEST_DATA), 0},
    {"carriage returns alone for line ends", cr_only_records(), -1,
     checksum_error(cr_only_records().substr(0, 511)), {}, 0},
    {"the rest of a long line is not a line", "S0" + std::string(509, '0') + S9, -1, MISSING_END,
     {}, 0},
    {"S9 without line end", s3(0x10, {1}) + "S9030000FC", -1, MISSING_END, {{0x10, 1}}, 0},
    {"S8 is not an end record", s3(0x10, {1}) + "S804000000FB\n", -1, MISSING_END, {{0x10, 1}},
     0},
    {"no end record", s3(0x10, {1}), -1, MISSING_END, {{0x10, 1}}, 0},
    {"empty input", "", -1, MISSING_END, {}, 0},
    // A byte beyond the image stops the load at once and is reported to the
    // caller, which decides what to say and whether to go on.
    {"second byte past the last offset", s3(0x7FFFF, {0xAB, 0xCD}) + S9, S19_OUT_OF_RANGE, "",
     {{0x7FFFF, 0xAB}}, 1, 0x80000},
    {"address near the top of 32 bits", s3(0xFFFFFFFF, {1, 2}) + S9, S19_OUT_OF_RANGE, "", {}, 1,
     0xFFFFFFFF},
    // "-2" reads as 0xFFFFFFFE: the record runs over the whole image, its
    // missing fields leave every word blank, and it stops at 0x80000.
    {"negative count", "S3-200000000\n" + S9, S19_OUT_OF_RANGE, "", {}, 1, 0x80000},
    {"negative count after data", s3(0x7FFFF, {0x42}) + "S3-20007FFFE\n" + S9, S19_OUT_OF_RANGE,
     "", {{0x7FFFF, 0x42}}, 1, 0x80000},
};

TEST(S19Loader, LoadsAndReports) {
  ASSERT_EQ(record_cut_in_checksum().substr(508), "0000\n");
  ASSERT_EQ(s3(0, LONGEST_DATA).size(), 511u);
  ASSERT_EQ(cr_only_records().substr(2 * 511, 2), "S9");
  for (const load_case_t& c : LOAD_CASES) {
    SCOPED_TRACE(c.name);
    load_result_t r = load(c.input);
    EXPECT_EQ(r.result, c.result);
    EXPECT_EQ(r.output, c.output);
    EXPECT_EQ(r.above_64k, c.above_64k);
    EXPECT_EQ(r.beyond, c.beyond);
    expect_image(r.image, c.stored);
  }
}

TEST(S19Loader, ReadsNothingAfterTheEndRecord) {
  std::string input = s3(0, {1}) + "S70500000000FA\r\n--boundary--\r\n";
  FILE* in = fmemopen(input.data(), input.size(), "r");
  ASSERT_NE(in, nullptr);
  std::vector<uint32_t> image(FLASH_IMAGE_WORDS, NO_DATA);
  testing::internal::CaptureStdout();
  EXPECT_EQ(load_s19_image(image.data(), in), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  char rest[64];
  ASSERT_NE(fgets(rest, sizeof rest, in), nullptr);
  EXPECT_STREQ(rest, "--boundary--\r\n");
  fclose(in);
}

TEST(S19Loader, ReadErrorEndsTheInput) {
  FILE* in = fopen("/", "r");  // reading a directory fails with EISDIR
  ASSERT_NE(in, nullptr);
  std::vector<uint32_t> image(FLASH_IMAGE_WORDS, NO_DATA);
  testing::internal::CaptureStdout();
  EXPECT_EQ(load_s19_image(image.data(), in), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), MISSING_END);
  EXPECT_TRUE(ferror(in));
  fclose(in);
}

}  // namespace
