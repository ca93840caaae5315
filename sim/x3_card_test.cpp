#include "sim/x3_card.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <vector>

#include "tests/support/thrown.h"
#include "flashing/card_access.h"
#include "sim/card_state_file.h"

namespace {

using bytes = std::vector<uint8_t>;

class X3Card : public testing::Test {
 protected:
  X3Card() : state_(blank_card_state()), card_(state_.get(), 5) {}

  // Sends a card command (op 0xC5) and returns the reply length; the reply
  // bytes land in `reply`.
  int32_t send(const bytes& tx, int32_t rxlen = 256) {
    reply.assign(rxlen, 0xEE);
    return card_.command(J5_SCAN_OP_CARD_COMMAND, tx.size(), tx.data(), rxlen, reply.data());
  }
  static bytes addressed(uint8_t code, uint32_t address) {
    return {code, code, uint8_t(address), uint8_t(address >> 8), uint8_t(address >> 16), 0x00};
  }
  static bytes transfer(uint8_t code, uint32_t address, const bytes& data, uint8_t count) {
    bytes b = addressed(code, address);
    b.push_back(count);
    b.insert(b.end(), data.begin(), data.end());
    return b;
  }
  int32_t write(uint32_t address, const bytes& data) {
    return send(transfer(X3_WRITE, address, data, data.size() & 0xFF), 1);
  }
  bytes read(uint32_t address, uint8_t count) {
    EXPECT_EQ(count, send(transfer(X3_READ, address, {}, count), count));
    return reply;
  }
  int32_t reboot() {
    const uint8_t restart[3] = {1, 1, 1};
    return card_.command(J5_SCAN_OP_CONTROL, 3, restart, 0, nullptr);
  }

  std::unique_ptr<x3_card_state> state_;
  x3_card_t card_;
  bytes reply;
};

TEST_F(X3Card, ProgrammingOnlyClearsBitsAndEraseRestoresTheSector) {
  EXPECT_EQ(1, write(0x12345, {0xF0, 0x0F}));
  EXPECT_EQ('P', reply[0]);
  EXPECT_EQ(1, write(0x12345, {0x3C, 0xFF}));
  EXPECT_EQ((bytes{0x30, 0x0F}), read(0x12345, 2));

  EXPECT_EQ(0, send(addressed(X3_ERASE, 0x1FFFF), 0));  // any address in the sector
  EXPECT_EQ(1, send(addressed(X3_STATUS, 0x1FFFF), 1));
  EXPECT_EQ('P', reply[0]);
  EXPECT_EQ((bytes{0xFF, 0xFF}), read(0x12345, 2));
}

TEST_F(X3Card, CountZeroMoves256Bytes) {
  EXPECT_EQ(1, send(transfer(X3_WRITE, 0x300, bytes(256, 0x5A), 0), 1));
  EXPECT_EQ(256, send(transfer(X3_READ, 0x300, {}, 0), 256));
  EXPECT_EQ(bytes(256, 0x5A), reply);
}

// Refused commands answer -1 and leave everything the card keeps (what a
// state file holds) as it was.
TEST_F(X3Card, MalformedCommandsAreRefused) {
  EXPECT_EQ(1, send({X3_GRAB, X3_GRAB}, 1));
  EXPECT_EQ(0x00, reply[0]);
  bytes above_16_mib = addressed(X3_ERASE, 0);
  above_16_mib[5] = 0x01;  // the address's top byte: 0x01000000
  const bytes refused[] = {
      {X3_GRAB, X3_READ},                                 // codes differ
      {0x77, 0x77},                                       // unknown code
      {X3_ERASE, X3_ERASE, 0, 0},                         // too short
      transfer(X3_WRITE, 0x100, {1, 2, 3}, 2),            // count disagrees with data
      transfer(X3_READ, 0xFFFF0, {}, 0x20),               // runs past the flash
      // Addresses at or above the 1 MiB of flash.
      addressed(X3_ERASE, 0x100000),
      addressed(X3_ERASE, 0xFF0000),
      above_16_mib,
      addressed(X3_STATUS, 0x100000),
      transfer(X3_READ, 0x100000, {}, 1),
      transfer(X3_WRITE, 0x100000, {0}, 1),
      transfer(X3_WRITE, 0xFFFFF, {0, 0}, 2),
  };
  state_->flash[0] = 0x00;  // so that an erase of sector 0 would show
  auto before = blank_card_state();
  memcpy(before.get(), state_.get(), sizeof *before);
  for (const bytes& tx : refused) {
    EXPECT_EQ(-1, send(tx)) << testing::PrintToString(tx);
    EXPECT_EQ(0, memcmp(before.get(), state_.get(), sizeof *before)) << testing::PrintToString(tx);
  }
}

// A state file that cannot be written whole (here: the disk is full) is
// reported with the cause and leaves nothing behind.
TEST(CardStateFile, FullDiskLeavesNoPartialFile) {
  char pattern[] = "/tmp/x3_state_XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  const std::string path = card_state_path(pattern, 3);
  ASSERT_EQ(0, symlink("/dev/full", (path + ".new").c_str()));
  EXPECT_EQ("cannot write " + path + ".new: No space left on device",
            thrown_message([&] { map_card_state(path); }));
  EXPECT_NE(0, access((path + ".new").c_str(), F_OK));
  EXPECT_NE(0, access(path.c_str(), F_OK));
  EXPECT_EQ(0, rmdir(pattern));
}

TEST_F(X3Card, EraseStatusPollsBusyThenFailsOrPasses) {
  card_.faults.erase_busy_polls = 2;
  EXPECT_EQ(0, send(addressed(X3_ERASE, 0x20000), 0));
  for (uint8_t expected : {uint8_t(0x00), uint8_t(0x00), X3_PASSED}) {
    EXPECT_EQ(1, send(addressed(X3_STATUS, 0x20000), 1));
    EXPECT_EQ(expected, reply[0]);
  }
  card_.faults = {};
  card_.faults.erase_fails = true;
  write(0x20000, {0x00});
  EXPECT_EQ(0, send(addressed(X3_ERASE, 0x20000), 0));
  send(addressed(X3_STATUS, 0x20000), 1);
  EXPECT_EQ(X3_FAILED, reply[0]);
  EXPECT_EQ(bytes{0x00}, read(0x20000, 1));  // the failed erase left the data
}

TEST_F(X3Card, StuckBitsStayOne) {
  card_.faults.stuck_bits[0x40] = 0x01;
  write(0x40, {0x00, 0x00});
  EXPECT_EQ((bytes{0x01, 0x00}), read(0x40, 2));
}

TEST_F(X3Card, FaultRulesReplaceTheNthAnswerOfAKind) {
  card_.faults.rules.push_back({x3_command_kind::write, 2, x3_fault_action::reply, 1, {'F'}});
  card_.faults.rules.push_back({x3_command_kind::read, 0, x3_fault_action::reply, 3, {9, 9, 9}});
  EXPECT_EQ(1, write(0x10, {0x11}));
  EXPECT_EQ('P', reply[0]);
  EXPECT_EQ(1, write(0x11, {0x22}));
  EXPECT_EQ('F', reply[0]);
  EXPECT_EQ(1, write(0x12, {0x33}));
  EXPECT_EQ(3, send(transfer(X3_READ, 0x10, {}, 3), 3));
  EXPECT_EQ((bytes{9, 9, 9}), reply);
  card_.faults.rules.clear();
  EXPECT_EQ((bytes{0x11, 0xFF, 0x33}), read(0x10, 3));  // the faulted write never landed

  card_.faults.rules.push_back({x3_command_kind::grab, 0, x3_fault_action::drop_connection, 0, {}});
  EXPECT_EQ("x3 card model: connection dropped",
            thrown_message([&] { send({X3_GRAB, X3_GRAB}, 1); }));
}

TEST_F(X3Card, RebootStartsTheBankWithTheNewerGeneration) {
  struct boot_case {
    uint8_t lo, hi;
    uint32_t bank, generation;
  } cases[] = {
      {0xFF, 0xFF, 1, 0}, {3, 0xFF, 0, 3}, {3, 4, 1, 4}, {5, 5, 0, 5},
      {254, 1, 1, 1},     {1, 254, 0, 1},  {254, 0xFF, 0, 254}, {2, 254, 1, 254},
      {0, 7, 1, 7},
  };
  uint32_t boots = 0;
  for (const boot_case& c : cases) {
    state_->flash[0x10000] = c.lo;
    state_->flash[0x80000] = c.hi;
    EXPECT_EQ(0, reboot());
    EXPECT_EQ(++boots, state_->boot.boot_count);
    EXPECT_EQ(c.bank, state_->boot.booted_bank) << int(c.lo) << "/" << int(c.hi);
    EXPECT_EQ(c.generation, state_->boot.generation) << int(c.lo) << "/" << int(c.hi);
  }
}

}  // namespace
