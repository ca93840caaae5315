#include "flashing/s19_loader.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/firmware.h"

namespace {

using data = std::vector<uint8_t>;
using stored_list = std::vector<std::pair<uint32_t, uint32_t>>;  // offset, word

const std::string S9 = "S9030000FC\n";
const std::string MISSING_END = "Missing S7/S9 termination record\n";
const std::string LENGTH_ERROR = "Error with length field\n";
std::string checksum_error(const std::string& line) { return "Checksum error on line:\n" + line + "\n"; }

// A record placed over an earlier one, its data fields past the line end.
const std::string LONG_RECORD = s3_record(0x100, {1, 2, 3, 4, 5}) + "\n";

stored_list stored_bytes(uint32_t address, const data& bytes) {
  stored_list words;
  for (uint32_t b : bytes) words.push_back({address++, b});
  return words;
}

struct load_case {
  const char* name;
  std::string input;
  int result;
  std::string printed;
  stored_list stored;  // every other word stays NO_DATA
  int above_64k;
  uint32_t beyond = 0;  // the offset reported with S19_OUT_OF_RANGE
};

const load_case CASES[] = {
    {"records without data and stray text are skipped",
     "S00600004844521B\nS1050010AA40\nS206000010AA3F\nS5030001FB\ns" + s3_record(0x20, {7}).substr(1) +
         "\nhello\n\n" + s3_record(0x21, {8}) + "\n" + S9,
     0, "", {{0x21, 8}}, 0},
    {"count below 5 takes the checksum at 12", "S30300000000FC\n" + S9, 0, "", {}, 0},
    {"last record for an offset wins", s3_record(0x20, {1, 2, 3}) + "\n" + s3_record(0x21, {0x99}) + "\n" + S9,
     0, "", {{0x20, 1}, {0x21, 0x99}, {0x22, 3}}, 0},
    {"last byte of the image", s3_record(0x7FFFF, {0xAB}) + "\n" + S9, 0, "", {{0x7FFFF, 0xAB}}, 1},
    {"a byte at 0x10000 sets the above-64k flag", s3_record(0xFFFF, {1, 2}) + "\n" + S9, 0, "",
     {{0xFFFF, 1}, {0x10000, 2}}, 1},
    {"a failed record keeps what was stored and the flag", s3_record(0x10000, {7}) + "\nS30600000010AB00\r\n" + S9,
     -1, checksum_error("S30600000010AB00\r\n"), {{0x10000, 7}, {0x10, 0xAB}}, 1},
    {"S3 alone", "S3\n" + S9, -1, LENGTH_ERROR, {}, 0},
    {"unreadable data field keeps the earlier byte and adds it to the sum",
     s3_record(0x30, {0x12}) + "\nS30600000030zzB7\n" + S9, 0, "", {{0x30, 0x12}}, 0},
    {"data field -1 replaces the word with all ones", s3_record(0x30, {0x12}) + "\nS30600000030-1CA\n" + S9, 0,
     "", {{0x30, NO_DATA}}, 0},
    {"unreadable address stores nothing", "S306zzzzzzzzAB00\n" + S9, -1, checksum_error("S306zzzzzzzzAB00\n"),
     {}, 0},
    {"unreadable checksum never matches", "S30600000010ABzz\n" + S9, -1, checksum_error("S30600000010ABzz\n"),
     {{0x10, 0xAB}}, 0},
    // After the short line's NUL the buffer still holds the data and
    // checksum of the long one, which would make a sound record.
    {"fields past the end of a line are not read", LONG_RECORD + "S30A00000100\n" + S9, -1,
     checksum_error("S30A00000100\n"), stored_bytes(0x100, {1, 2, 3, 4, 5}), 0},
    {"nothing after the end record is read", s3_record(0x10, {1}) + "\r\nS70500000000FA\r\nS3\r\n", 0, "",
     {{0x10, 1}}, 0},
    {"S9 without line end", s3_record(0x10, {1}) + "\nS9030000FC", -1, MISSING_END, {{0x10, 1}}, 0},
    {"S8 is not an end record", s3_record(0x10, {1}) + "\nS804000000FB\n", -1, MISSING_END, {{0x10, 1}}, 0},
    {"empty input", "", -1, MISSING_END, {}, 0},
    {"address near the top of 32 bits", s3_record(0xFFFFFFFF, {1, 2}) + "\n" + S9, S19_OUT_OF_RANGE, "", {}, 1,
     0xFFFFFFFF},
    // "-2" reads as 0xFFFFFFFE: the record runs over the whole image, its
    // missing fields leave every word blank, and it stops at 0x80000.
    {"negative count", "S3-200000000\n" + S9, S19_OUT_OF_RANGE, "", {}, 1, 0x80000},
};

TEST(S19Loader, LoadsAndReports) {
  for (const load_case& c : CASES) {
    SCOPED_TRACE(c.name);
    std::vector<uint32_t> image(FLASH_IMAGE_WORDS, NO_DATA), expected = image;
    for (const auto& [offset, word] : c.stored) expected[offset] = word;
    std::string input = c.input;
    FILE* in = fmemopen(input.data(), input.size(), "r");
    uint32_t beyond = 0;
    image_above_64k = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(c.result, load_s19_image(image.data(), in, &beyond));
    EXPECT_EQ(c.printed, testing::internal::GetCapturedStdout());
    EXPECT_EQ(c.above_64k, image_above_64k);
    EXPECT_EQ(c.beyond, beyond);
    size_t first_wrong = 0;
    while (first_wrong < image.size() && image[first_wrong] == expected[first_wrong]) first_wrong++;
    EXPECT_EQ(image.size(), first_wrong) << "first wrong word at 0x" << std::hex << first_wrong;
    if (in) fclose(in);
  }
}

}  // namespace
