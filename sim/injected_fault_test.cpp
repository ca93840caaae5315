#include "sim/injected_fault.h"

#include <gtest/gtest.h>

namespace {

TEST(InjectedFault, ReadsRules) {
  using k = x3_command_kind;
  using a = x3_fault_action;
  struct rule_case {
    const char* text;
    int slot;
    x3_fault_rule rule;
  } cases[] = {
      {"slot=3 write#2 reply=46", 3, {k::write, 2, a::reply, 1, {0x46}}},
      {"slot=31,read#1,length=-1", 31, {k::read, 1, a::reply, -1, {}}},
      {"status#7 drop slot=0", 0, {k::status, 7, a::drop_connection, 0, {}}},
      {"slot=3 write#40 power-cut", 3, {k::write, 40, a::power_cut, 0, {}}},
      {"slot=3 erase#2 freeze", 3, {k::erase, 2, a::freeze, 0, {}}},
      {"slot=4 grab reply=0102 length=9", 4, {k::grab, 0, a::reply, 9, {1, 2}}},
      {"slot=4 reboot length=1", 4, {k::reboot, 0, a::reply, 1, {}}},
      {"slot=5 config#2 length=-2", 5, {k::config, 2, a::reply, -2, {}}},
      {"slot=5 row-write#3 drop", 5, {k::row_write, 3, a::drop_connection, 0, {}}},
  };
  for (const rule_case& c : cases) {
    injected_fault fault;
    std::string error;
    ASSERT_TRUE(parse_fault(c.text, &fault, &error)) << c.text << ": " << error;
    ASSERT_EQ(1u, fault.faults.rules.size()) << c.text;
    const x3_fault_rule& r = fault.faults.rules[0];
    EXPECT_EQ((std::tuple{c.slot, c.rule.kind, c.rule.nth, c.rule.action, c.rule.length, c.rule.reply}),
              std::tie(fault.slot, r.kind, r.nth, r.action, r.length, r.reply))
        << c.text;
  }
}

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
      "write#2 reply=46",          // no slot
      "slot=32 erase-fails",       // slot out of range
      "slot=x erase-fails",        "slot=3 write#0 reply=46",  // counts start at 1
      "slot=3 write#2x",           "slot=3 write reply=4",     // odd number of hex digits
      "slot=3 write reply=zz",     "slot=3 reply=46",          // reply without a command
      "slot=3 write read",         "slot=3 stuck=0x100000:01",  // past the flash
      "slot=3 stuck=0x10",         "slot=3 erase-busy=-1",      "slot=3 frobnicate",
      "slot=3 length=1 write",     "slot=3 swap=0:1/2",         "slot=3 swap=2:1/300",
      "slot=3 swap=2",
  };
  for (const char* text : bad) {
    injected_fault fault;
    std::string error;
    EXPECT_FALSE(parse_fault(text, &fault, &error)) << text;
    EXPECT_NE(std::string::npos, error.find(text)) << error;
  }
}

}  // namespace
