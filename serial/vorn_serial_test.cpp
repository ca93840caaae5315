#include "serial/vorn_serial.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/support/scripted_vorn_serial.h"

namespace {

scripted_card& card() { return scripted_card::get(); }

// The pages 0x8000-0xDFFF are erased. Rows 0x8000-0xE1FF that hold image
// data, and only those, are programmed. A short reply to a verify read
// cannot pass for the bytes it did not bring.
TEST(VornSerial, EraseProgramAndVerifyTouchOnlyTheirArea) {
  card().reset();
  test_vorn_serial serial;
  serial.erase_all();
  std::vector<uint32_t> image(VORN_IMAGE_WORDS, VORN_NO_DATA);
  image[0x7FFF] = 0x55;
  image[0x8005] = 0x12;
  image[0xE1FF] = 0x00;
  image[0xE200] = 0x66;
  serial.program_all(image.data());
  const auto seen = card().seen();
  ASSERT_EQ(50u, seen.size());
  for (int i = 0; i < 48; i++) EXPECT_EQ((bytes{uint8_t(0x80 + 2 * i), 0}), seen[i].tx);
  bytes first = {0x80, 0x00, 0x40, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x12}, last = {0xE1, 0xC0, 0x40};
  first.resize(3 + 64, 0xFF);
  last.resize(3 + 63, 0xFF);
  last.push_back(0x00);
  EXPECT_EQ(first, seen[48].tx);
  EXPECT_EQ(last, seen[49].tx);
  const bytes flash_row(first.begin() + 3, first.end());  // the first row, its reply cut to 10
  card().reset([&](const seen_command&) { return reply{10, flash_row}; });
  const outcome o = run_capturing([&] { serial.verify_all(image.data()); });
  EXPECT_EQ("verify failure at address 800A: file = ff, device = 00\n", o.printed);
  EXPECT_EQ("programming failure\n", o.thrown);
}

TEST(VornSerial, ReadS19LoadsS1RecordsUpToTheEndRecord) {
  const std::string data(244, 'A');  // 122 bytes of 0xAA
  const std::string longest = "S17D9000" + data + "EE";         // 254 characters
  const std::string too_long = "S17E9100" + data + "AA" + "42";  // 256 characters
  const std::string checksum = "Checksum error on line:\n";
  struct s19_case {
    std::string text, printed;
    std::vector<std::pair<int, uint32_t>> words;
  } cases[] = {
      {"S00600004844521B\nS1058000123434\r\n\nS5030001FB\nS2060100001234B2\nS9030000FC\n", "",
       {{0x8000, 0x12}, {0x8001, 0x34}, {0x8002, VORN_NO_DATA}, {0x0100, VORN_NO_DATA}}},
      {"S1058000123435\nS9030000FC\n", checksum + "S1058000123435\n\n", {{0x8001, 0x34}}},
      {"S1058000123434\nS9030000FC", "Missing S9 termination record\n", {{0x8000, 0x12}}},
      {"S1zz8000123434\nS9030000FC\n", "Error with length field\n", {{0x8000, VORN_NO_DATA}}},
      // Bytes past 0xFFFF are checked but not stored.
      {"S106FFFE11223396\nS9030000FC\n", "", {{0xFFFF, 0x22}, {0x0000, VORN_NO_DATA}}},
      {longest + "\nS9030000FC\n", "", {{0x9079, 0xAA}, {0x907A, VORN_NO_DATA}}},
      // A longer line arrives in pieces: its checksum is not in the first.
      {too_long + "\nS9030000FC\n", checksum + too_long.substr(0, 255) + "\n", {{0x917A, 0xAA}}},
      {"", "Error. can't open /nonexistent\n", {}},
  };
  for (const s19_case& c : cases) {
    test_vorn_serial serial;
    std::vector<uint32_t> image(VORN_IMAGE_WORDS, VORN_NO_DATA);
    char path[] = "/tmp/vorn_serial_testXXXXXX";
    FILE* f = fdopen(mkstemp(path), "w");
    fputs(c.text.c_str(), f);
    fclose(f);
    const char* file = c.text.empty() ? "/nonexistent" : path;
    const outcome o = run_capturing([&] { serial.read_9s08_s19(image.data(), file); });
    remove(path);
    EXPECT_EQ(c.printed, o.printed) << c.text;
    EXPECT_EQ(c.printed.empty() ? NOTHING_THROWN : "Vorn_Serial::read_9s08_s19", o.thrown) << c.text;
    for (auto [address, word] : c.words) EXPECT_EQ(word, image[address]) << c.text;
  }
}

}  // namespace
