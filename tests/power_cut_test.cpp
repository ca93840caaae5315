// The flashing order keeps a card bootable whatever happens: the older bank
// is erased, programmed and verified, and its generation byte is written
// last, so until that byte lands a restart starts the previous firmware,
// and after it the new one, complete. Here the scan service loses its
// power (scan_sim ends at a given command, or is killed there with
// kill -9), or the connection is cut, at every point of the sequence;
// then the card restarts and what it boots is checked.
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/crc32.h"
#include "tests/support/scan_sim_fixture.h"

namespace {

const int SLOT = 2;
const uint32_t BANK1 = 0x70000;  // also bank 0's last sector, which the banks share

// Three rows in each of sectors 0-5. The commands of an upgrade into
// bank 1, in order: grab#1, read#1 and read#2 (the generation bytes),
// erase#1..6, write#1..18, read#3..20, write#19 (the generation byte),
// read#21 (its read-back), reboot#1.
firmware new_image() {
  firmware image;
  for (uint32_t sector = 0; sector < 6; sector++) {
    for (uint32_t row = 1; row <= 3; row++)
      add_random_bytes(image, sector * 0x10000 + row * 0x1000, 0x100, 100 * sector + row);
  }
  return image;
}

enum class cut { power, kill9, connection };

class PowerCut : public ScanSimTest {
 protected:
  // Puts the old firmware into bank 0 (generation 1) and keeps that state.
  void install_old_firmware(const firmware& old_image) {
    start_sim();
    ASSERT_NE(std::string::npos, upgrade({SLOT}, s_records(old_image)).out.find("1 card re-flashed"));
    stop_sim();
    old_state_ = read_file(card_state_path(state_, SLOT));
    old_crc_ = crc32(card(SLOT)->flash, BANK1);
  }

  // Runs the upgrade with the cut at `command`; returns the page.
  std::string upgrade_with_cut(const std::string& file, const std::string& command, cut how) {
    write_file(card_state_path(state_, SLOT), old_state_);
    const char* action = how == cut::power ? "power-cut" : how == cut::kill9 ? "freeze" : "drop";
    start_sim({"slot=2 " + command + " " + action});
    std::string page;
    if (how == cut::kill9) {
      // flash_x3 waits for the frozen service; kill the service there.
      const int upgrade_pid = start_upgrade({SLOT}, file, "upgrade");
      EXPECT_TRUE(wait_until_sim_frozen());
      stop_sim(SIGKILL);
      stop_process(upgrade_pid, 0);
      page = read_file(dir_ + "/upgrade.page");
      unlink((dir_ + "/upgrade.page").c_str());
    } else {
      page = upgrade({SLOT}, file).out;
    }
    stop_sim();
    return page;
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
  // What bank 1 holds once the new firmware is complete.
  std::vector<uint8_t> complete(0x60000, 0xFF);
  for (const auto& [offset, byte] : image) complete[offset] = byte;
  complete[0x10000] = 2;

  const struct {
    const char* name;
    const char* command;  // the first command the cut keeps from the card
    bool new_bank;        // whether the new generation byte had landed
  } points[] = {
      {"after the grab", "read#1", false},
      {"after erasing sector 1", "erase#2", false},
      {"after erasing sector 6", "write#1", false},
      {"in the middle of programming", "write#10", false},
      {"after programming", "read#3", false},
      {"in the middle of verification", "read#12", false},
      {"just before the generation byte", "write#19", false},
      {"just after the generation byte", "read#21", true},
      {"before the reboot", "reboot#1", true},
  };
  const char* const cut_names[] = {"power cut", "kill -9", "connection cut"};
  for (const auto& point : points) {
    for (cut how : {cut::power, cut::kill9, cut::connection}) {
      SCOPED_TRACE(testing::Message() << point.name << ", " << cut_names[int(how)]);
      const std::string page = upgrade_with_cut(file, point.command, how);
      // A dead service cannot take the release back either.
      const std::string end = how == cut::connection ? "<pre>" : "release failed.\n";
      EXPECT_NE(std::string::npos, page.find(end + "The upgrade failed.<br></body>")) << page;
      restart_card();
      auto state = card(SLOT);
      EXPECT_EQ(point.new_bank ? 1u : 0u, state->boot.booted_bank);
      EXPECT_EQ(point.new_bank ? 2u : 1u, state->boot.generation);
      if (point.new_bank) {
        EXPECT_TRUE(std::equal(complete.begin(), complete.end(), state->flash + BANK1));
      } else {
        EXPECT_EQ(old_crc_, crc32(state->flash, BANK1));
      }
    }
  }
}

// The limit of the scheme: previous firmware that reaches into the shared
// sector is damaged as soon as the other bank is programmed, so a cut in
// the middle of programming leaves bank 0 selected but its last sector
// gone. Images must stay below 0x70000.
TEST_F(PowerCut, FirmwareInTheSharedSectorIsLostWhenTheOtherBankIsProgrammed) {
  firmware old_image;
  add_random_bytes(old_image, 0x00000, 0x8000, 3);
  add_random_bytes(old_image, 0x78000, 0x100, 4);
  install_old_firmware(old_image);
  const uint32_t old_last_sector = crc32(card(SLOT)->flash + BANK1, 0x10000);
  upgrade_with_cut(s_records(new_image()), "write#10", cut::power);
  restart_card();
  auto state = card(SLOT);
  EXPECT_EQ(0u, state->boot.booted_bank);
  EXPECT_EQ(old_crc_, crc32(state->flash, BANK1));
  EXPECT_NE(old_last_sector, crc32(state->flash + BANK1, 0x10000));
}

}  // namespace
