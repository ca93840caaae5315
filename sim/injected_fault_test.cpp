#include "sim/injected_fault.h"

#include <gtest/gtest.h>

namespace {

// Flash faults, and a second fault for the same card added to the first.
TEST(InjectedFault, ReadsFlashFaultsAndAddsThem) {
  injected_fault first, second;
  std::string error;
  ASSERT_TRUE(parse_fault("slot=2 erase-fails erase-busy=5 stuck=0x10102:01 stuck=65794:80 swap=3:1/18/14",
                          &first, &error))
      << error;
  ASSERT_TRUE(parse_fault("slot=2 stuck=0x10102:02 read#1 length=-1", &second, &error)) << error;
  add_faults(second.faults, &first.faults);
  add_faults(second.faults, &first.faults);
  EXPECT_EQ(3, first.faults.swap_at);
  EXPECT_EQ((std::vector<uint8_t>{1, 18, 14}), first.faults.swapped_types);
  EXPECT_TRUE(first.faults.erase_fails);
  EXPECT_EQ(5, first.faults.erase_busy_polls);
  EXPECT_EQ((std::map<uint32_t, uint8_t>{{0x10102, 0x83}}), first.faults.stuck_bits);
  EXPECT_EQ(2u, first.faults.rules.size());
}

TEST(InjectedFault, RefusesMalformedText) {
  const char* bad[] = {
      "write#2 reply=46",         "slot=32 erase-fails",        // no slot, one out of range
      "slot=3 write#0 reply=46",  "slot=3 write reply=4",       // counts start at 1; odd digits
      "slot=3 reply=46",          "slot=3 stuck=0x100000:01",  // reply without a command; past the flash
      "slot=3 erase-busy=-1",     "slot=3 frobnicate",          "slot=3 length=1 write",
      "slot=3 swap=2:1/300",
  };
  for (const char* text : bad) {
    injected_fault fault;
    std::string error;
    EXPECT_FALSE(parse_fault(text, &fault, &error)) << text;
    EXPECT_NE(std::string::npos, error.find(text)) << error;
  }
}

}  // namespace
