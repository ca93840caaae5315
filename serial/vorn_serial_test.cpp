#include "serial/vorn_serial.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/support/scripted_card.h"

namespace {

class VornSerial : public testing::Test {
 protected:
  void SetUp() override { card().reset(); }
  static scripted_card& card() { return scripted_card::get(); }
};

// A 9S08 image buffer, released at the end of the test.
struct image_t {
  explicit image_t(Vorn_Serial& s) : owner(s), words(s.new_9s08_buf()) {}
  ~image_t() { owner.free_9s08_buf(words); }
  Vorn_Serial& owner;
  uint32_t* words;
};

TEST_F(VornSerial, SingleCommandsSendTheirBytesAndJudgeTheReplyLength) {
  bytes data(64), program_tx = {0x80, 0x00, 0x40};
  for (int i = 0; i < 64; i++) program_tx.push_back(data[i] = 0xC0 + i);
  uint8_t row[64];
  const auto read_row = [&](Vorn_Serial& s) { s.read_row(0x8040, row); };
  struct command_case {
    std::function<void(Vorn_Serial&)> action;
    int32_t op;
    bytes tx;
    int32_t rxlen, count;
    const char* printed;
    const char* thrown;
  } cases[] = {
      // clang-format off
      {&Vorn_Serial::reboot, 147, {1, 1, 1}, 0, -1, "", kNothing},  // the card may go down first
      {&Vorn_Serial::enter_monitor, 149, {}, 0, 5, "", kNothing},
      {&Vorn_Serial::enter_monitor, 149, {}, 0, -3, "Error entering monitor, error code -3.\n", "Board::enter_monitor"},
      {&Vorn_Serial::leave_monitor, 165, {}, 0, -3, "Error leavinging monitor, error code -3.\n", "Board::leave_monitor"},
      {read_row, 163, {0x80, 0x40, 0x40}, 64, 10, "", kNothing},
      {read_row, 163, {0x80, 0x40, 0x40}, 64, -1, "Error reading page, error code -1.\n", "Vorn_Serial::read_row"},
      {[](Vorn_Serial& s) { s.erase_page(0xDE00); }, 197, {0xDE, 0x00}, 0, -1,
       "Error erasing page, error code -1.\n", "Vorn_Serial::erase_page"},
      {[&](Vorn_Serial& s) { s.program_row(0x8000, data.data(), 64); }, 101, program_tx, 0, 0, "", kNothing},
      {[&](Vorn_Serial& s) { s.program_row(0x12AB, data.data(), 0); }, 101, {0x12, 0xAB, 0}, 0, -1,
       "Error programming row, error code -1.\n", "Vorn_Serial::program_row"},
      // clang-format on
  };
  for (const command_case& c : cases) {
    card().reset();
    card().answer_by_op({{c.op, {c.count, bytes(64, 0xAB)}}});
    test_vorn_serial serial(7);
    const outcome o = run_capturing([&] { c.action(serial); });
    SCOPED_TRACE(std::to_string(c.op) + " " + std::to_string(c.count));
    EXPECT_EQ(c.printed, o.printed);
    EXPECT_EQ(c.thrown, o.thrown);
    const auto seen = card().seen();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ((std::tuple{c.op, 7, c.rxlen, c.tx}), std::tie(seen[0].op, seen[0].slot, seen[0].rxlen, seen[0].tx));
  }
  // Only what travels in the count byte is sent.
  test_vorn_serial serial;
  card().reset();
  for (int n : {-1, 256}) {
    EXPECT_EQ("Vorn_Serial::program_row", thrown_message([&] { serial.program_row(0, row, n); }));
  }
  EXPECT_TRUE(card().seen().empty());
}

// With no service to talk to, each exchange writes its line and throws.
TEST_F(VornSerial, AFailedExchangeWritesItsLineAndThrows) {
  test_vorn_serial serial(5, unused_loopback_port());
  uint8_t row[64] = {};
  struct failure_case {
    std::function<void()> action;
    const char* printed;
    const char* thrown;
  } cases[] = {
      {[&] { serial.reboot(); }, "Error rebooting card\n", "Vorn_Serial::reboot"},
      {[&] { serial.enter_monitor(); }, "Error entering monitor.\n", "Board::enter_monitor"},
      {[&] { serial.leave_monitor(); }, "Error leaving monitor.\n", "Board::leave_monitor"},
      {[&] { serial.read_row(0x8000, row); }, "Error reading page.\n", "Vorn_Serial::read_row"},
      {[&] { serial.erase_page(0x8000); }, "Error erasing page.\n", "Vorn_Serial::erase_page"},
      {[&] { serial.program_row(0x8000, row, 64); }, "Error programming row.\n", "Vorn_Serial::program_row"},
      {[&] { serial.config(); }, "", "Vorn_Serial::config"},
      {[&] { serial.read(); }, "", "Vorn_Serial::read"},
      {[&] { serial.probe(); }, "", "Vorn_Serial::config"},
  };
  for (const failure_case& c : cases) {
    const outcome o = run_capturing(c.action);
    EXPECT_EQ(c.printed, o.printed) << c.thrown;
    EXPECT_EQ(c.thrown, o.thrown);
  }
}

TEST_F(VornSerial, EraseAllErasesThePagesBelow0xE000UpToAFailure) {
  test_vorn_serial serial;
  serial.erase_all();
  auto seen = card().seen();
  ASSERT_EQ(48u, seen.size());
  for (int i = 0; i < 48; i++) EXPECT_EQ((bytes{uint8_t(0x80 + 2 * i), 0}), seen[i].tx);
  card().reset([](const seen_command& c) { return reply{c.tx[0] == 0x84 ? -1 : 0, {}}; });
  EXPECT_EQ("Vorn_Serial::erase_page", run_capturing([&] { serial.erase_all(); }).thrown);
  EXPECT_EQ(3u, card().seen().size());
}

// Rows 0x8000-0xE1FF that hold image data, and only those, are programmed
// and verified; the verify pass ends at the first bad byte.
TEST_F(VornSerial, ProgramAndVerifyTouchOnlyRowsOfTheAreaWithImageData) {
  test_vorn_serial serial;
  image_t image(serial);
  image.words[0x7FFF] = 0x55;
  image.words[0x8005] = 0x12;
  image.words[0xE1FF] = 0x00;
  image.words[0xE200] = 0x66;
  serial.program_all(image.words);
  auto seen = card().seen();
  ASSERT_EQ(2u, seen.size());
  bytes first = {0x80, 0x00, 0x40, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x12}, last = {0xE1, 0xC0, 0x40};
  first.resize(3 + 64, 0xFF);
  last.resize(3 + 63, 0xFF);
  last.push_back(0x00);
  EXPECT_EQ(first, seen[0].tx);
  EXPECT_EQ(last, seen[1].tx);

  struct verify_case {
    int address;
    uint8_t device;
    int32_t length;
    const char* printed;
    size_t rows;
  } cases[] = {
      {0x8005, 0x12, 64, "", 2},
      {0x8005, 0x13, 64, "verify failure at address 8005: file = 12, device = 13\n", 1},
      // Bytes without image data must read back erased.
      {0x8006, 0x00, 64, "verify failure at address 8006: file = ff, device = 00\n", 1},
      // A short reply cannot pass for the bytes it did not bring.
      {0x8000, 0xFF, 10, "verify failure at address 800A: file = ff, device = 00\n", 1},
  };
  for (const verify_case& c : cases) {
    bytes flash(0x10000, 0xFF);
    flash[0x8005] = 0x12;
    flash[0xE1FF] = 0x00;
    flash[c.address] = c.device;
    if (c.rows == 1) flash[0x803F] = 0x00;  // a second difference is not reported
    card().reset([&](const seen_command& s) {
      const uint8_t* at = &flash[s.tx[0] << 8 | s.tx[1]];
      return reply{c.length, bytes(at, at + 64)};
    });
    const outcome o = run_capturing([&] { serial.verify_all(image.words); });
    EXPECT_EQ(c.printed, o.printed);
    EXPECT_EQ(c.rows == 1 ? "programming failure\n" : kNothing, o.thrown);
    EXPECT_EQ(c.rows, card().seen().size());
  }
}

// A valid S1 line for `data` at `address`.
std::string s1_line(int address, const bytes& data) {
  char text[16];
  snprintf(text, sizeof text, "S1%02X%04X", unsigned(data.size() + 3), unsigned(address));
  std::string line = text;
  unsigned sum = data.size() + 3 + (address >> 8) + (address & 0xFF);
  for (uint8_t b : data) {
    snprintf(text, sizeof text, "%02X", b);
    line += text;
    sum += b;
  }
  snprintf(text, sizeof text, "%02X", 255 - (sum & 0xFF));
  return line + text;
}

TEST_F(VornSerial, ReadS19LoadsS1RecordsUpToTheEndRecord) {
  const std::string longest = s1_line(0x9000, bytes(122, 0x5A));   // 254 characters
  const std::string too_long = s1_line(0x9100, bytes(123, 0x5A));  // 256 characters
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
      {"S9030000FC\nS1zz\n", "", {}},
      // A line shorter than its count: stored up to the missing field.
      {"S10580001234\nS9030000FC\n", checksum + "S10580001234\n\n", {{0x8001, 0x34}}},
      // Bytes past 0xFFFF are checked but not stored.
      {s1_line(0xFFFE, {0x11, 0x22, 0x33}) + "\nS9030000FC\n", "", {{0xFFFF, 0x22}, {0x0000, VORN_NO_DATA}}},
      {longest + "\nS9030000FC\n", "", {{0x9079, 0x5A}, {0x907A, VORN_NO_DATA}}},
      // A longer line arrives in pieces: its checksum is not in the first.
      {too_long + "\nS9030000FC\n", checksum + too_long.substr(0, 255) + "\n", {{0x917A, 0x5A}}},
      {"", "Error. can't open /nonexistent\n", {}},
  };
  for (const s19_case& c : cases) {
    test_vorn_serial serial;
    image_t image(serial);
    char path[] = "/tmp/vorn_serial_testXXXXXX";
    FILE* f = fdopen(mkstemp(path), "w");
    fputs(c.text.c_str(), f);
    fclose(f);
    const char* file = c.text.empty() ? "/nonexistent" : path;
    const outcome o = run_capturing([&] { serial.read_9s08_s19(image.words, file); });
    remove(path);
    EXPECT_EQ(c.printed, o.printed) << c.text;
    EXPECT_EQ(c.printed.empty() ? kNothing : "Vorn_Serial::read_9s08_s19", o.thrown) << c.text;
    for (auto [address, word] : c.words) EXPECT_EQ(word, image.words[address]) << c.text;
  }
}

TEST_F(VornSerial, CopyBytesGivesTheFirstRunOfImageData) {
  test_vorn_serial serial;
  image_t image(serial);
  uint8_t out[8] = {};
  EXPECT_EQ(0, serial.copy_9s08_bytes(image.words, out, 8));
  for (int a : {0x8000, 0x8001, 0x8002, 0x8004, 0xFFFE, 0xFFFF}) image.words[a] = a & 0xFF;
  EXPECT_EQ(3, serial.copy_9s08_bytes(image.words, out, 8));
  EXPECT_EQ((bytes{0x00, 0x01, 0x02}), bytes(out, out + 3));
  EXPECT_EQ(2, serial.copy_9s08_bytes(image.words, out, 2));
  EXPECT_EQ(0, serial.copy_9s08_bytes(image.words, out, -1));
  for (int a = 0x8000; a < 0x8005; a++) image.words[a] = VORN_NO_DATA;
  EXPECT_EQ(2, serial.copy_9s08_bytes(image.words, out, 8));  // the run ends at 0xFFFF
  const std::string assertion = "assertion failed. vorn_serial:959 (this && buf && bytes && max_length)";
  EXPECT_EQ(assertion, thrown_message([&] { serial.copy_9s08_bytes(image.words, out, 0); }));
  EXPECT_EQ(assertion, thrown_message([&] { serial.copy_9s08_bytes(nullptr, out, 8); }));
  EXPECT_EQ(assertion, thrown_message([&] { serial.copy_9s08_bytes(image.words, nullptr, 8); }));
}

}  // namespace
