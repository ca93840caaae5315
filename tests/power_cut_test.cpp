// The flashing order keeps a card bootable whatever happens: the older bank
// is erased, programmed and verified, and its generation byte is written
// last, so until that byte lands a restart starts the previous firmware,
// and after it the new one, complete. This test cuts the power of the scan
// service (a fault that ends scan_sim at a given command, and a real
// kill -9 there), and separately cuts the connection, at every point of
// the sequence, then restarts the card and checks what it boots.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "sim/crc32.h"
#include "tests/support/scan_sim_fixture.h"

namespace {

const int SLOT = 2;
const uint32_t BANK1 = 0x70000;
// Where the banks overlap: bank 0's last sector is bank 1's first.
const uint32_t SHARED_SECTOR = 0x70000;

// Three rows in each of sectors 0-5: 6 erases, 18 row writes, 18 row
// reads. The commands of an upgrade into bank 1, in order:
//   grab#1, read#1 (0x10000), read#2 (0x80000), erase#1..6 (each with its
//   status polls), write#1..18, read#3..20, write#19 (generation byte),
//   read#21 (its read-back), reboot#1.
firmware new_image() {
  firmware image;
  for (uint32_t sector = 0; sector < 6; sector++) {
    for (uint32_t row = 1; row <= 3; row++)
      add_random_bytes(image, sector * 0x10000 + row * 0x1000, 0x100, 100 * sector + row);
  }
  return image;
}

struct cut_point {
  const char* name;
  const char* command;  // the first command the cut keeps from the card
  bool new_bank;        // whether the new generation byte had landed
};

const cut_point POINTS[] = {
    {"after the grab", "read#1", false},
    {"after erasing sector 1", "erase#2", false},
    {"after erasing sector 2", "erase#3", false},
    {"after erasing sector 3", "erase#4", false},
    {"after erasing sector 4", "erase#5", false},
    {"after erasing sector 5", "erase#6", false},
    {"after erasing sector 6", "write#1", false},
    {"in the middle of programming", "write#10", false},
    {"after programming", "read#3", false},
    {"in the middle of verification", "read#12", false},
    {"just before the generation byte", "write#19", false},
    {"just after the generation byte", "read#21", true},
    {"before the reboot", "reboot#1", true},
};

enum class cut { power, kill9, connection };
const char* const CUT_NAMES[] = {"power cut", "kill -9", "connection cut"};

class PowerCut : public ScanSimTest {
 protected:
  // Puts the old firmware into bank 0 (generation 1) and keeps that state.
  void install_old_firmware(const firmware& old_image) {
    start_sim();
    process_result r = upgrade({SLOT}, s_records(old_image));
    ASSERT_NE(std::string::npos, r.out.find("1 card re-flashed")) << r.err;
    stop_sim();
    old_state_ = read_file(card_state_path(state_, SLOT));
    old_crc_ = crc32(card(SLOT)->flash, SHARED_SECTOR);
  }

  // Runs the upgrade to `file` with the cut at `command`.
  void upgrade_with_cut(const std::string& file, const std::string& command, cut how) {
    write_file(card_state_path(state_, SLOT), old_state_.data(), old_state_.size());
    const char* action = how == cut::power ? "power-cut" : how == cut::kill9 ? "freeze" : "drop";
    start_sim({"slot=2 " + command + " " + action});
    if (how != cut::kill9) {
      upgrade({SLOT}, file);
    } else {
      // flash_x3 waits for the frozen service; kill the service there.
      const int upgrade_pid = start_upgrade({SLOT}, file, "upgrade");
      ASSERT_TRUE(wait_until_sim_frozen()) << command;
      stop_sim(SIGKILL);
      stop_process(upgrade_pid, 0);
    }
    stop_sim();
  }

  // Restarts the service and the card, as after power returns.
  void restart_card() {
    start_sim();
    test_scan_client_t client(J5_SCAN_PORT, 9);
    const uint8_t restart[3] = {1, 1, 1};
    j5_scan_command_t reboot = {0x93, SLOT, 3, 0, restart, nullptr, 0};
    EXPECT_EQ(1, client.execute(1, &reboot));
    stop_sim();
  }

  // Whether bank 1 holds the new image in every sector it touches.
  static bool holds_new_image(const x3_card_state& card, const firmware& image) {
    for (uint32_t sector = 0; sector < 6; sector++) {
      for (uint32_t k = sector * 0x10000; k < (sector + 1) * 0x10000; k++) {
        auto it = image.find(k);
        const uint8_t expected = k == 0x10000 ? 2 : it == image.end() ? 0xFF : it->second;
        if (card.flash[BANK1 + k] != expected) return false;
      }
    }
    return true;
  }

  std::string old_state_;
  uint32_t old_crc_ = 0;
};

TEST_F(PowerCut, TheCardAlwaysBootsCompleteFirmware) {
  firmware old_image;
  add_random_bytes(old_image, 0x00000, 0x8000, 1);
  add_random_bytes(old_image, 0x20000, 0x8000, 2);
  install_old_firmware(old_image);
  const firmware image = new_image();
  const std::string file = s_records(image);

  std::string table = "| point | cut | boots | content |\n|---|---|---|---|\n";
  for (const cut_point& point : POINTS) {
    for (cut how : {cut::power, cut::kill9, cut::connection}) {
      SCOPED_TRACE(testing::Message() << point.name << ", " << CUT_NAMES[int(how)]);
      upgrade_with_cut(file, point.command, how);
      restart_card();
      auto state = card(SLOT);
      const uint32_t bank = state->boot.booted_bank;
      const uint32_t generation = state->boot.generation;
      const bool complete = point.new_bank ? holds_new_image(*state, image)
                                           : crc32(state->flash, SHARED_SECTOR) == old_crc_;
      EXPECT_EQ(point.new_bank ? 1u : 0u, bank);
      EXPECT_EQ(point.new_bank ? 2u : 1u, generation);
      EXPECT_TRUE(complete);
      char row[160];
      snprintf(row, sizeof row, "| %s | %s | bank %u, generation %u | %s |\n", point.name,
               CUT_NAMES[int(how)], bank, generation,
               !complete ? "damaged" : point.new_bank ? "new firmware, complete"
                                                      : "previous firmware, unchanged");
      table += row;
    }
  }
  printf("%s", table.c_str());
}

TEST_F(PowerCut, FirmwareInTheSharedSectorIsLostWhenTheOtherBankIsProgrammed) {
  // The previous firmware reaches into 0x70000-0x7FFFF, which is also the
  // first sector of bank 1: programming bank 1 erases it first. A cut in
  // the middle of programming leaves bank 0 selected but its last sector
  // gone, so images must stay below 0x70000 for this guarantee.
  firmware old_image;
  add_random_bytes(old_image, 0x00000, 0x8000, 3);
  add_random_bytes(old_image, 0x78000, 0x100, 4);
  install_old_firmware(old_image);
  const uint32_t old_last_sector = crc32(card(SLOT)->flash + SHARED_SECTOR, 0x10000);

  upgrade_with_cut(s_records(new_image()), "write#10", cut::power);
  restart_card();
  auto state = card(SLOT);
  EXPECT_EQ(0u, uint32_t{state->boot.booted_bank});
  EXPECT_EQ(old_crc_, crc32(state->flash, SHARED_SECTOR));
  EXPECT_NE(old_last_sector, crc32(state->flash + SHARED_SECTOR, 0x10000));
  printf("| in the middle of programming, previous firmware above 0x70000 | power cut | "
         "bank 0, generation %u | damaged: its last sector was erased for bank 1 |\n",
         uint32_t{state->boot.generation});
}

}  // namespace
