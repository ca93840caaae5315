#include "sim/injected_fault.h"

#include <gtest/gtest.h>

namespace {

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
