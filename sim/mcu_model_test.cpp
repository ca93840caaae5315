// The microcontroller model, driven through the card's scan ops as the
// service delivers them.
#include "sim/mcu_model.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "sim/x3_card.h"

namespace {

using bytes = std::vector<uint8_t>;

// One op after another: each answers its result, a row read its bytes.
TEST(Mcu, FlashNeedsMonitorModeAndRestartLeavesIt) {
  std::unique_ptr<x3_card_state> state = blank_card_state();
  x3_card_t card(state.get(), 7);
  const bytes row = {0x80, 0x00, 0x40};
  struct step {
    int32_t op;
    bytes tx;
    int32_t result;
    bytes read;  // the row's first bytes
  } steps[] = {
      {163, row, -1, {}},  // no flash access outside monitor mode
      {149, {}, 0, {}},
      {101, {0x80, 0x04, 0x02, 0x12, 0xF0}, 0, {}},
      {101, {0x80, 0x05, 0x01, 0x0F}, 0, {}},   // only clears bits
      {101, {0x80, 0x00, 0x03, 0x01}, -1, {}},  // count disagrees with the data
      {163, row, 64, {0xFF, 0xFF, 0xFF, 0xFF, 0x12, 0x00, 0xFF}},
      {197, {0x81, 0xFF}, 0, {}},  // erases the page 0x8000-0x81FF
      {163, row, 64, bytes(64, 0xFF)},
      {165, {}, 0, {}},
      {197, {0x81, 0xFF}, -1, {}},  // outside monitor mode: not an X3 command either
      {147, {3, 5, 6}, 0, {}},      // control bytes of the 3rd record
      {149, {}, 0, {}},
      {147, {1, 1, 1}, 0, {}},  // the restart, not a control write
  };
  for (const step& s : steps) {
    bytes reply(64, 0xEE);
    EXPECT_EQ(s.result, card.command(s.op, s.tx.size(), s.tx.data(), s.op == 163 ? 64 : 0, reply.data()))
        << s.op;
    EXPECT_EQ(s.read, bytes(reply.begin(), reply.begin() + s.read.size())) << s.op;
  }
  EXPECT_EQ((std::vector<uint32_t>{5, 6, 0, 1, 0}),
            (std::vector<uint32_t>{state->mcu.control[3][0], state->mcu.control[3][1], state->mcu.control[1][0],
                                   state->boot.boot_count, state->mcu.monitor}));
}

}  // namespace
