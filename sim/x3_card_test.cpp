// The card model's own rules, which the whole-program tests take as the
// hardware's: a sector erase, and the bank a restart boots.
#include "sim/x3_card.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <vector>

#include "scan/j5_scan_protocol.h"

namespace {

using bytes = std::vector<uint8_t>;

// An erase at any address clears its whole sector, and only that.
TEST(X3Card, EraseClearsTheWholeSector) {
  const auto state = blank_card_state();
  x3_card_t card(state.get(), 5);
  state->flash[0x20000] = 0x11;
  state->flash[0x30000] = 0x33;
  const bytes erase = {CARD_ERASE, CARD_ERASE, 0xFF, 0xFF, 0x02, 0x00};  // at 0x2FFFF
  EXPECT_EQ(0, card.command(J5_SCAN_OP_CARD_COMMAND, erase.size(), erase.data(), 0, nullptr));
  EXPECT_EQ((bytes{0xFF, 0x33}), (bytes{state->flash[0x20000], state->flash[0x30000]}));
}

// A tie in the generation bytes boots bank 0; 0 or 0xFF mark a bank never
// stamped, reported as generation 0. The upgrade table's pairs show the rest.
TEST(X3Card, RebootStartsTheBankWithTheNewerGeneration) {
  const auto state = blank_card_state();
  x3_card_t card(state.get(), 5);
  const uint8_t restart[3] = {1, 1, 1};
  for (const auto& [lo, hi, bank, generation] :
       {std::array<uint32_t, 4>{5, 5, 0, 5}, {0xFF, 0xFF, 1, 0}, {0, 0xFF, 1, 0}}) {
    state->flash[0x10000] = lo;
    state->flash[0x80000] = hi;
    EXPECT_EQ(0, card.command(J5_SCAN_OP_CONTROL, 3, restart, 0, nullptr));
    const std::pair<uint32_t, uint32_t> booted(state->boot.booted_bank, state->boot.generation);
    EXPECT_EQ((std::pair{bank, generation}), booted) << lo << "/" << hi;
  }
}

}  // namespace
