#include "flashing/flash_sequence.h"

#include <gtest/gtest.h>

namespace {

TEST(ChooseBank, ProgramsTheOlderBankWithTheNextGeneration) {
  struct bank_case {
    uint8_t lo, hi;
    uint32_t bank_base, bootval;
  } cases[] = {
      {0xFF, 0xFF, BANK0_BASE, 1},  // blank card
      {0x00, 0xFF, BANK0_BASE, 1},
      {0x00, 0x00, BANK0_BASE, 1},
      {3, 3, BANK1_BASE, 4},        // equal generations: bank 1
      {3, 7, BANK0_BASE, 8},
      {7, 0xFF, BANK1_BASE, 8},
      {0xFF, 7, BANK0_BASE, 8},
      {253, 252, BANK1_BASE, 254},
      {254, 1, BANK0_BASE, 2},      // 1 is newer than 254
      {1, 254, BANK1_BASE, 2},
      {254, 254, BANK1_BASE, 1},
      {254, 0xFF, BANK1_BASE, 1},
      {0xFF, 254, BANK0_BASE, 1},
      {254, 100, BANK1_BASE, 1},
      {100, 254, BANK0_BASE, 1},
  };
  for (const bank_case& c : cases) {
    const bank_choice choice = choose_bank(c.lo, c.hi);
    EXPECT_EQ(c.bank_base, choice.bank_base) << int(c.lo) << "/" << int(c.hi);
    EXPECT_EQ(c.bootval, choice.bootval) << int(c.lo) << "/" << int(c.hi);
  }
}

TEST(ChooseBank, NeverGivesTheErasedValueOrZero) {
  for (int lo = 0; lo < 256; lo++) {
    for (int hi = 0; hi < 256; hi++) {
      const uint32_t bootval = choose_bank(lo, hi).bootval;
      ASSERT_TRUE(bootval >= 1 && bootval <= 254) << lo << "/" << hi << " -> " << bootval;
    }
  }
}

}  // namespace
