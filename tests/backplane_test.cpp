// flash_x3 against the scan_sim program: firmware files made by the
// standard S-record tools, card state kept in files across restarts of the
// simulator, faults injected from its command line, and a simulator killed
// in the middle of an upgrade.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "sim/crc32.h"
#include "tests/support/scan_sim_fixture.h"

namespace {

const uint32_t BANK_SIZE = 0x80000;
const uint32_t SECTOR = 0x10000;
const int NO_BYTE = -1;

// What a firmware file should put into a bank: a byte or NO_BYTE per offset.
using bank_image = std::vector<int>;

// Random bytes at [offset, offset + length), with no byte at 0x10000,
// where the card's generation byte goes.
firmware random_firmware(uint32_t offset, uint32_t length, uint32_t seed) {
  firmware image;
  add_random_bytes(image, offset, length, seed);
  image.erase(0x10000);
  return image;
}

std::vector<uint8_t> random_binary(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(size);
  for (uint8_t& b : bytes) b = random() & 0xFF;
  // Explicit 0xFF runs: a whole row and a stretch across a row boundary.
  for (size_t k = 0x5000; k < 0x5100 && k < size; k++) bytes[k] = 0xFF;
  for (size_t k = 0x60F0; k < 0x6230 && k < size; k++) bytes[k] = 0xFF;
  return bytes;
}

class Backplane : public ScanSimTest {
 protected:
  // S-records from `binary` placed at `offset`, made by objcopy.
  std::string objcopy_image(const std::vector<uint8_t>& binary, int record_length, uint32_t offset) {
    write_file(dir_ + "/in.bin", binary.data(), binary.size());
    char change[32];
    snprintf(change, sizeof change, "0x%x", offset);
    tool({"/usr/bin/objcopy", "-I", "binary", "-O", "srec", "--srec-forceS3",
          "--srec-len=" + std::to_string(record_length), "--change-addresses", change,
          dir_ + "/in.bin", dir_ + "/out.s19"});
    return read_file(dir_ + "/out.s19");
  }

  // S-records made by srec_cat, with `holes` ([from, to) ranges after the
  // offset) left out.
  std::string srec_cat_image(const std::vector<uint8_t>& binary, uint32_t offset,
                             const std::vector<std::pair<uint32_t, uint32_t>>& holes) {
    write_file(dir_ + "/in.bin", binary.data(), binary.size());
    std::vector<std::string> argv = {"/usr/bin/srec_cat", dir_ + "/in.bin", "-binary",
                                     "-offset", std::to_string(offset)};
    for (auto [from, to] : holes) {
      argv.insert(argv.end(), {"-exclude", std::to_string(from), std::to_string(to)});
    }
    argv.insert(argv.end(), {"-o", dir_ + "/out.s19", "-motorola", "-address-length=4",
                             "-execution-start-address=0"});
    tool(argv);
    return read_file(dir_ + "/out.s19");
  }

  static bank_image placed(const std::vector<uint8_t>& binary, uint32_t offset,
                           const std::vector<std::pair<uint32_t, uint32_t>>& holes = {}) {
    bank_image image(BANK_SIZE, NO_BYTE);
    for (size_t k = 0; k < binary.size(); k++) image.at(offset + k) = binary[k];
    for (auto [from, to] : holes) {
      for (uint32_t a = from; a < to; a++) image.at(a) = NO_BYTE;
    }
    return image;
  }

  void set_generations(int slot, uint8_t lo, uint8_t hi) {
    patch_card(slot, 0x10000, {lo});
    patch_card(slot, 0x80000, {hi});
  }

  // Every sector of the bank at `base` that `image` touches holds the image
  // (0xFF where it has no byte); the generation byte holds `generation`.
  static void expect_bank(const x3_card_state& card, uint32_t base, const bank_image& image,
                          uint8_t generation) {
    int mismatches = 0;
    for (uint32_t s = 0; s < BANK_SIZE; s += SECTOR) {
      bool touched = false;
      for (uint32_t k = s; k < s + SECTOR && !touched; k++) touched = image[k] != NO_BYTE;
      for (uint32_t k = s; touched && k < s + SECTOR && mismatches < 5; k++) {
        const int expected = k == 0x10000 ? generation : image[k] == NO_BYTE ? 0xFF : image[k];
        if (card.flash[base + k] != expected) {
          ADD_FAILURE() << std::hex << "card 0x" << base + k << " holds 0x"
                        << int(card.flash[base + k]) << ", expected 0x" << expected;
          mismatches++;
        }
      }
    }
    EXPECT_EQ(generation, card.flash[base + 0x10000]);
  }

  static uint32_t crc_of(const x3_card_state& card, uint32_t from, uint32_t length) {
    return crc32(card.flash + from, length);
  }

};

const std::string SUCCESS_ONE = "The upgrade was successful. 1 card re-flashed.<br> \n";

bank_image bank_of(const firmware& image) {
  bank_image bank(BANK_SIZE, NO_BYTE);
  for (const auto& [offset, byte] : image) bank[offset] = byte;
  return bank;
}

// Whether process `pid` waits for a flock lock: a "->" line of /proc/locks.
bool waits_for_lock(int pid) {
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, arrow, kind, mode, access, owner;
    fields >> number >> arrow >> kind >> mode >> access >> owner;
    if (arrow == "->" && kind == "FLOCK" && owner == std::to_string(pid)) return true;
  }
  return false;
}

// A connection to the simulator with `request` sent on it.
int send_raw(const std::vector<uint8_t>& request) {
  qb_client_t client("127.0.0.1", J5_SCAN_PORT);
  const int fd = client.open_connection("127.0.0.1", J5_SCAN_PORT);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(ssize_t(request.size()), write(fd, request.data(), request.size()));
  return fd;
}

bool page_says(const process_result& r, const std::string& text) {
  return r.out.find(text) != std::string::npos;
}

TEST_F(Backplane, ImagesFromTheStandardToolsLandByteForByte) {
  start_sim();
  struct tool_case {
    const char* what;
    int slot;
    std::vector<uint8_t> binary;
    std::function<std::string(const std::vector<uint8_t>&)> make;
    bank_image expected;
  };
  std::vector<uint8_t> plain = random_binary(300 * 1024, 1);
  plain[0x10000] = 0xFF;  // the generation byte's place
  std::vector<uint8_t> shifted = random_binary(200 * 1024, 2);
  std::vector<uint8_t> holey = random_binary(400 * 1024, 3);
  holey[0x10000] = 0xFF;
  std::vector<uint8_t> small = random_binary(0x23456, 4);
  small[0x10000 - 0x10] = 0xFF;
  const std::vector<std::pair<uint32_t, uint32_t>> holes = {{0x8000, 0x9010}, {0x30000, 0x48000}};
  tool_case cases[] = {
      {"objcopy, 16-byte records", 1, plain,
       [&](const auto& b) { return objcopy_image(b, 16, 0); }, placed(plain, 0)},
      {"objcopy, 32-byte records at 0x20000", 2, shifted,
       [&](const auto& b) { return objcopy_image(b, 32, 0x20000); }, placed(shifted, 0x20000)},
      {"srec_cat with holes", 3, holey,
       [&](const auto& b) { return srec_cat_image(b, 0, holes); }, placed(holey, 0, holes)},
      {"srec_cat at 0x10", 4, small,
       [&](const auto& b) { return srec_cat_image(b, 0x10, {}); }, placed(small, 0x10)},
  };
  for (const tool_case& c : cases) {
    SCOPED_TRACE(c.what);
    process_result r = upgrade({c.slot}, c.make(c.binary));
    EXPECT_TRUE(page_says(r, SUCCESS_ONE)) << r.out;
    EXPECT_EQ("", r.err);
    auto state = card(c.slot);
    expect_bank(*state, 0x00000, c.expected, 1);
    EXPECT_EQ(1u, state->boot.boot_count);
    EXPECT_EQ(0u, state->boot.booted_bank);
    EXPECT_EQ(1u, state->boot.generation);
    EXPECT_EQ(crc_of(*state, 0, BANK_SIZE), state->boot.crc32);
  }
}

TEST_F(Backplane, GenerationByteInAnUnerasedSectorReadsBackWrong) {
  // Bank 0 holds generation 3, bank 1 generation 4: bank 0 is programmed
  // with generation 5. The image has no data in the sector at 0x10000, so
  // that sector is not erased and 5 is programmed over the old 3: NOR flash
  // only clears bits, and 3 & 5 reads back as 1.
  start_sim();
  stop_sim();
  set_generations(2, 3, 4);
  start_sim();
  firmware image;
  add_random_bytes(image, 0x00000, 0x800, 5);
  add_random_bytes(image, 0x20000, 0x800, 6);
  process_result r = upgrade({2}, s_records(image));
  EXPECT_EQ("Bootval verify error! (01 != 05)\n", r.err);
  EXPECT_TRUE(page_says(r, "The upgrade failed.<br></body>")) << r.out;
  auto state = card(2);
  EXPECT_EQ(0x01, state->flash[0x10000]);
  // Generation 1 is older than 4 here, so a restart still starts bank 1.
  EXPECT_EQ(1u, x3_card_t::bank_to_boot(*state));
  EXPECT_EQ(0u, state->boot.boot_count);
}

TEST_F(Backplane, RepeatedUpgradesAlternateBanksAndWrapGenerations) {
  start_sim();
  const firmware image = random_firmware(0x100, 0x18000, 7);
  const std::string file = s_records(image);
  struct step {
    uint32_t bank, generation;
  };
  auto run = [&](std::initializer_list<step> steps) {
    for (const step& s : steps) {
      SCOPED_TRACE(testing::Message() << "generation " << s.generation);
      process_result r = upgrade({1}, file);
      EXPECT_TRUE(page_says(r, SUCCESS_ONE)) << r.err;
      auto state = card(1);
      EXPECT_EQ(s.bank, state->boot.booted_bank);
      EXPECT_EQ(s.generation, state->boot.generation);
    }
  };
  run({{0, 1}, {1, 2}, {0, 3}});
  stop_sim();
  set_generations(1, 253, 252);
  start_sim();
  run({{1, 254}, {0, 1}, {1, 2}, {0, 3}});
}

TEST_F(Backplane, FaultsLeaveThePreviousFirmwareBootable) {
  // Both images lie below 0x70000, where the banks do not overlap.
  const firmware old_image = random_firmware(0x0000, 0x40000, 8);
  firmware new_image = random_firmware(0x0000, 0x30000, 9);
  new_image[0x123] = 0x5A;
  int programmed_rows = 0;
  for (uint32_t row = 0; row < 0x30000; row += 0x100) programmed_rows++;
  start_sim();
  ASSERT_TRUE(page_says(upgrade({2}, s_records(old_image)), SUCCESS_ONE));
  stop_sim();
  const std::string path = card_state_path(state_, 2);
  const std::string upgraded = read_file(path);
  const uint32_t old_crc = crc_of(*card(2), 0, 0x70000);

  struct fault_case {
    std::string fault;
    std::string err;
    std::string out;
  } cases[] = {
      {"slot=2 grab#1 reply=01", "Error2 grabbing flash.\n", ""},
      {"slot=2 read#2 length=-1", "error reading hi_val.\n", ""},
      {"slot=2 erase#2 length=1", "Erase failed\n", ""},
      {"slot=2 erase-fails", "Erase failed - flash error\n", ""},
      {"slot=2 erase-busy=3 status#2 drop", "Erase failed\n", ""},
      {"slot=2 write#5 reply=46", "Program failed2 - 1 70      \n", ""},
      {"slot=2 write#300 drop", "Program failed1 - 0        \n", ""},
      {"slot=2 stuck=0x70123:ff", "Verify error at address 0x70123\n", "buf: 5a != flash: ff\n"},
      {"slot=2 read#40 length=-1", "", ""},
      {"slot=2 write#" + std::to_string(programmed_rows + 1) + " reply=46",
       "Error programming bootval.\n", ""},
  };
  for (const fault_case& c : cases) {
    SCOPED_TRACE(c.fault);
    write_file(path, upgraded.data(), upgraded.size());
    start_sim({c.fault});
    process_result r = upgrade({2}, s_records(new_image));
    stop_sim();
    EXPECT_EQ(c.err, r.err);
    EXPECT_TRUE(page_says(r, "<pre>" + c.out + "The upgrade failed.<br></body>")) << r.out;
    auto state = card(2);
    EXPECT_EQ(0u, x3_card_t::bank_to_boot(*state));
    EXPECT_EQ(1, state->flash[0x10000]);
    EXPECT_EQ(old_crc, crc_of(*state, 0, 0x70000));
    EXPECT_EQ(1u, state->boot.boot_count);
  }
}

TEST_F(Backplane, KilledSimulatorKeepsThePreviousFirmwareBootable) {
  const firmware old_image = random_firmware(0x0000, 0x60000, 10);
  const firmware new_image = random_firmware(0x0000, 0x60000, 11);
  start_sim();
  ASSERT_TRUE(page_says(upgrade({3}, s_records(old_image)), SUCCESS_ONE));
  const uint32_t old_crc = crc_of(*card(3), 0, 0x70000);
  stop_sim();

  // The next upgrade writes 0x600 rows into bank 1: the simulator stops
  // itself at the 768th, half way, and is killed there, so the upgrade
  // runs into the dead service.
  start_sim({"slot=3 write#768 freeze"});
  const int upgrade_pid = start_upgrade({3}, s_records(new_image), "upgrade");
  ASSERT_TRUE(wait_until_sim_frozen());
  EXPECT_EQ(new_image.at(0x2FE00), card(3)->flash[0x70000 + 0x2FE00]);  // the 767th row landed
  EXPECT_EQ(0xFF, card(3)->flash[0x70000 + 0x2FF00]);                   // the 768th did not
  stop_sim(SIGKILL);
  EXPECT_EQ(0, stop_process(upgrade_pid, 0));
  EXPECT_EQ("Program failed1 - 0        \n", read_file(dir_ + "/upgrade.err"));
  EXPECT_TRUE(page_says({read_file(dir_ + "/upgrade.page"), "", 0}, "release failed.\nThe upgrade failed.<br>"));

  auto state = card(3);
  EXPECT_EQ(0u, x3_card_t::bank_to_boot(*state));
  EXPECT_EQ(old_crc, crc_of(*state, 0, 0x70000));

  start_sim();
  EXPECT_TRUE(page_says(upgrade({3}, s_records(new_image)), SUCCESS_ONE));
  state = card(3);
  EXPECT_EQ(1u, state->boot.booted_bank);
  EXPECT_EQ(2u, state->boot.generation);
  expect_bank(*state, 0x70000, bank_of(new_image), 2);
}

TEST_F(Backplane, TwoUpgradesOfOneCardRunOneAfterTheOther) {
  // Two operators post different images for slot 1 a moment apart, to a
  // card with a slow erase. The first run is frozen at its first erase,
  // after it chose bank 0; the second must wait for it without asking the
  // service for anything, then program the other bank.
  const firmware first = random_firmware(0, 0x30000, 12);
  const firmware second = random_firmware(0, 0x30000, 13);
  start_sim({"slot=1 erase-busy=20", "slot=1 erase#1 freeze"});
  const int first_pid = start_upgrade({1}, s_records(first), "first");
  ASSERT_TRUE(wait_until_sim_frozen());
  const int second_pid = start_upgrade({1}, s_records(second), "second");
  bool waiting = false;
  for (int i = 0; i < 5000 && !waiting; i++) {
    waiting = waits_for_lock(second_pid);
    if (!waiting) usleep(1000);
  }
  EXPECT_TRUE(waiting) << "the second upgrade did not wait for the first";
  kill(sim_pid_, SIGCONT);
  EXPECT_EQ(0, stop_process(first_pid, 0));
  EXPECT_EQ(0, stop_process(second_pid, 0));

  for (const char* run : {"first", "second"}) {
    SCOPED_TRACE(run);
    EXPECT_TRUE(page_says({read_file(dir_ + "/" + run + ".page"), "", 0},
                          "<pre>" + SUCCESS_ONE + "</body>"));
    EXPECT_EQ("", read_file(dir_ + "/" + run + ".err"));
  }
  auto state = card(1);
  expect_bank(*state, 0x00000, bank_of(first), 1);
  expect_bank(*state, 0x70000, bank_of(second), 2);
  EXPECT_EQ(2u, state->boot.boot_count);
  EXPECT_EQ(1u, state->boot.booted_bank);
  std::vector<uint8_t> booted(BANK_SIZE, 0xFF);
  for (const auto& [offset, byte] : second) booted[offset] = byte;
  booted[0x10000] = 2;
  EXPECT_EQ(crc32(booted.data(), BANK_SIZE), state->boot.crc32);
}

TEST_F(Backplane, TheServiceIsNotLeftToClientsThatAreGone) {
  start_sim({"slot=2 reboot#1 freeze"}, {"--idle-timeout", "1"});
  // A client that sends three bytes and stalls is dropped after the idle
  // time, unanswered.
  const int stalled = send_raw({0, 0, 0});
  pollfd ended = {stalled, POLLIN, 0};
  EXPECT_EQ(1, poll(&ended, 1, 15000)) << "the stalled client still holds the service";
  char byte = 0;
  EXPECT_EQ(0, recv(stalled, &byte, 1, MSG_DONTWAIT));
  close(stalled);

  // A grab for client 7 waits in the listen queue behind a restart that
  // froze the service, and its client hangs up before it is served.
  std::vector<uint8_t> restart = wire_words({9, 1, 2, 0x93, 0, 3});
  restart.insert(restart.end(), {1, 1, 1});
  const int restarting = send_raw(restart);
  ASSERT_TRUE(wait_until_sim_frozen());
  close(send_raw(wire_words({7, 1, 0, J5_SCAN_OP_GRAB, 0, 0})));
  kill(sim_pid_, SIGCONT);
  uint8_t reply[4];
  EXPECT_EQ(4, read(restarting, reply, sizeof reply));
  close(restarting);
  test_scan_client_t next(J5_SCAN_PORT, 9);
  EXPECT_EQ(1, next.grab()) << "the service is held for a client that is gone";
  EXPECT_EQ(1, next.release());
}

}  // namespace
