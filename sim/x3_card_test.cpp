#include "sim/x3_card.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "flashing/card_access.h"
#include "tests/support/thrown.h"

namespace {

using bytes = std::vector<uint8_t>;

class X3Card : public testing::Test {
 protected:
  X3Card() : state_(blank_card_state()), card_(state_.get(), 5) {}

  // Sends a card command (op 0xC5); returns the reply length, the bytes land in `reply`.
  int32_t send(const bytes& tx, int32_t rxlen = 256) {
    reply.assign(rxlen, 0xEE);
    return card_.command(J5_SCAN_OP_CARD_COMMAND, tx.size(), tx.data(), rxlen, reply.data());
  }
  static bytes addressed(uint8_t code, uint32_t address, const bytes& rest = {}) {
    bytes b = {code, code, uint8_t(address), uint8_t(address >> 8), uint8_t(address >> 16), 0x00};
    b.insert(b.end(), rest.begin(), rest.end());
    return b;
  }
  int32_t write(uint32_t address, const bytes& data) {
    bytes rest = {uint8_t(data.size())};
    rest.insert(rest.end(), data.begin(), data.end());
    return send(addressed(X3_WRITE, address, rest), 1);
  }
  bytes read(uint32_t address, uint8_t count) {
    EXPECT_EQ(count ? count : 256, send(addressed(X3_READ, address, {count}), count ? count : 256));
    return reply;
  }

  std::unique_ptr<x3_card_state> state_;
  x3_card_t card_;
  bytes reply;
};

// Refused commands answer -1 and leave everything a state file holds as it was.
TEST_F(X3Card, MalformedCommandsAreRefused) {
  EXPECT_EQ(1, send({X3_GRAB, X3_GRAB}, 1));
  EXPECT_EQ(0x00, reply[0]);
  bytes above_16_mib = addressed(X3_ERASE, 0);
  above_16_mib[5] = 0x01;  // the address's top byte: 0x01000000
  const bytes refused[] = {
      {X3_GRAB, X3_READ},                               // codes differ
      {0x77, 0x77},                                     // unknown code
      {X3_ERASE, X3_ERASE, 0, 0},                       // too short
      addressed(X3_WRITE, 0x100, {2, 1, 2, 3}),         // count disagrees with data
      addressed(X3_READ, 0xFFFF0, {0x20}),              // runs past the flash
      addressed(X3_ERASE, 0x100000), above_16_mib, addressed(X3_WRITE, 0xFFFFF, {2, 0, 0}),
  };
  state_->flash[0] = 0x00;  // so that an erase of sector 0 would show
  auto before = blank_card_state();
  memcpy(before.get(), state_.get(), sizeof *before);
  for (const bytes& tx : refused) {
    EXPECT_EQ(-1, send(tx)) << testing::PrintToString(tx);
    EXPECT_EQ(0, memcmp(before.get(), state_.get(), sizeof *before)) << testing::PrintToString(tx);
  }
}

// An erase at any address clears its whole sector.
TEST_F(X3Card, EraseClearsTheWholeSector) {
  EXPECT_EQ(1, write(0x20000, {0x11}));
  EXPECT_EQ(0, send(addressed(X3_ERASE, 0x2FFFF), 0));
  EXPECT_EQ(bytes{0xFF}, read(0x20000, 1));
}

// A tie in the generation bytes boots bank 0; 0 or 0xFF mark a bank never
// stamped, reported as generation 0. The upgrade table's pairs show the rest.
TEST_F(X3Card, RebootStartsTheBankWithTheNewerGeneration) {
  const uint8_t restart[3] = {1, 1, 1};
  for (const auto& [lo, hi, bank, generation] :
       {std::array<uint32_t, 4>{5, 5, 0, 5}, {0xFF, 0xFF, 1, 0}, {0, 0xFF, 1, 0}}) {
    state_->flash[0x10000] = lo;
    state_->flash[0x80000] = hi;
    EXPECT_EQ(0, card_.command(J5_SCAN_OP_CONTROL, 3, restart, 0, nullptr));
    const std::pair<uint32_t, uint32_t> booted(state_->boot.booted_bank, state_->boot.generation);
    EXPECT_EQ((std::pair{bank, generation}), booted) << lo << "/" << hi;
  }
}

}  // namespace
