#include "sim/injected_fault.h"

#include <gtest/gtest.h>

namespace {

TEST(InjectedFault, ReadsRules) {
  struct rule_case {
    const char* text;
    int slot;
    x3_command_kind kind;
    int nth;
    x3_fault_action action;
    int32_t length;
    std::vector<uint8_t> reply;
  } cases[] = {
      {"slot=3 write#2 reply=46", 3, x3_command_kind::write, 2, x3_fault_action::reply, 1, {0x46}},
      {"slot=31,read#1,length=-1", 31, x3_command_kind::read, 1, x3_fault_action::reply, -1, {}},
      {"status#7 drop slot=0", 0, x3_command_kind::status, 7, x3_fault_action::drop_connection, 0, {}},
      {"slot=3 write#40 power-cut", 3, x3_command_kind::write, 40, x3_fault_action::power_cut, 0, {}},
      {"slot=3 erase#2 freeze", 3, x3_command_kind::erase, 2, x3_fault_action::freeze, 0, {}},
      {"slot=4 grab reply=0102 length=9", 4, x3_command_kind::grab, 0, x3_fault_action::reply, 9, {1, 2}},
      {"slot=4 reboot length=1", 4, x3_command_kind::reboot, 0, x3_fault_action::reply, 1, {}},
      {"slot=5 config#2 length=-2", 5, x3_command_kind::config, 2, x3_fault_action::reply, -2, {}},
      {"slot=5 row-write#3 drop", 5, x3_command_kind::row_write, 3, x3_fault_action::drop_connection, 0, {}},
  };
  for (const rule_case& c : cases) {
    injected_fault fault;
    std::string error;
    ASSERT_TRUE(parse_fault(c.text, &fault, &error)) << c.text << ": " << error;
    EXPECT_EQ(c.slot, fault.slot) << c.text;
    ASSERT_EQ(1u, fault.faults.rules.size()) << c.text;
    const x3_fault_rule& rule = fault.faults.rules[0];
    EXPECT_EQ(c.kind, rule.kind) << c.text;
    EXPECT_EQ(c.nth, rule.nth) << c.text;
    EXPECT_EQ(c.action, rule.action) << c.text;
    EXPECT_EQ(c.length, rule.length) << c.text;
    EXPECT_EQ(c.reply, rule.reply) << c.text;
  }
}

TEST(InjectedFault, ReadsFlashFaults) {
  injected_fault fault;
  std::string error;
  ASSERT_TRUE(parse_fault("slot=2 erase-fails erase-busy=5 stuck=0x10102:01 stuck=65794:80 "
                          "swap=3:1/18/14",
                          &fault, &error))
      << error;
  EXPECT_EQ(3, fault.faults.swap_at);
  EXPECT_EQ((std::vector<uint8_t>{1, 18, 14}), fault.faults.swapped_types);
  EXPECT_TRUE(fault.faults.erase_fails);
  EXPECT_EQ(5, fault.faults.erase_busy_polls);
  EXPECT_EQ((std::map<uint32_t, uint8_t>{{0x10102, 0x81}}), fault.faults.stuck_bits);
  EXPECT_TRUE(fault.faults.rules.empty());
}

TEST(InjectedFault, RefusesMalformedText) {
  const char* bad[] = {
      "write#2 reply=46",            // no slot
      "slot=32 erase-fails",         // slot out of range
      "slot=x erase-fails",
      "slot=3 write#0 reply=46",     // counts start at 1
      "slot=3 write#2x",
      "slot=3 write reply=4",        // odd number of hex digits
      "slot=3 write reply=zz",
      "slot=3 reply=46",             // reply without a command
      "slot=3 write read",
      "slot=3 stuck=0x100000:01",    // past the flash
      "slot=3 stuck=0x10",
      "slot=3 erase-busy=-1",
      "slot=3 frobnicate",
      "slot=3 length=1 write",
      "slot=3 swap=0:1/2",
      "slot=3 swap=2:1/300",
      "slot=3 swap=2",
  };
  for (const char* text : bad) {
    injected_fault fault;
    std::string error;
    EXPECT_FALSE(parse_fault(text, &fault, &error)) << text;
    EXPECT_NE(std::string::npos, error.find(text)) << error;
  }
}

TEST(InjectedFault, AddingMergesIntoACardsFaults) {
  x3_card_faults card;
  card.stuck_bits[5] = 0x01;
  x3_card_faults more;
  more.stuck_bits[5] = 0x80;
  more.erase_busy_polls = 3;
  more.rules.push_back({x3_command_kind::read, 1, x3_fault_action::reply, -1, {}});
  add_faults(more, &card);
  add_faults(more, &card);
  EXPECT_EQ(0x81, card.stuck_bits[5]);
  EXPECT_EQ(3, card.erase_busy_polls);
  EXPECT_EQ(2u, card.rules.size());
}

}  // namespace
