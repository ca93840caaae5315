// Faults for the simulated cards, as written on scan_sim's command line or
// one to a line in a fault file. Words are separated by blanks or commas:
//
//   slot=3 write#2 reply=46      the 2nd row write answers "F" (hex bytes)
//   slot=3 read#1 length=-1      the 1st read fails with length -1
//   slot=3 status#1 drop         the service drops the connection
//   slot=3 write#40 power-cut    the service dies at the 40th write
//   slot=3 erase#2 freeze        the service stops itself (SIGSTOP) at the
//                                2nd erase, for a test to kill it there, or
//                                to let it go on (SIGCONT) with that erase
//   slot=3 grab reply=01         every grab (no #N) answers 0x01
//   slot=3 erase-fails           erases leave the sector and report "F"
//   slot=3 erase-busy=5          each erase answers "busy" 5 times first
//   slot=3 stuck=0x10102:01      bits 0x01 of byte 0x10102 stay 1
//   slot=3 config#2 length=-2    the 2nd configuration reply reports -2
//   slot=3 swap=3:1/18/14        from the 3rd configuration reply on, the
//                                card reports record types 1, 18 and 14
//
// Commands: grab, read, write, erase, status, reboot (X3 card); config,
// readings, monitor-on, monitor-off, control, row-read, row-write,
// page-erase (microcontroller). A reply without a length answers with as
// many bytes as it gives; a length without a reply lets the card carry the
// command out and reports that length instead.
#ifndef SIM_INJECTED_FAULT_H
#define SIM_INJECTED_FAULT_H

#include <string>

#include "sim/x3_card.h"

struct injected_fault {
  int slot = -1;
  x3_card_faults faults;  // what the text adds to that card's faults
};

// Parses one fault; false with a reason in `error` when it is malformed.
bool parse_fault(const std::string& text, injected_fault* fault, std::string* error);

// Adds the faults of `added` to `faults`.
void add_faults(const x3_card_faults& added, x3_card_faults* faults);

#endif
