// Line-card slots named the way operators and scripts name them: numbers
// and ranges separated by commas, "2,3" or "1-4,7".
#ifndef SCAN_SLOT_LIST_H
#define SCAN_SLOT_LIST_H

#include <string>

#include "scan/j5_scan_protocol.h"

// Sets chosen[n] for each slot n that `list` names (the others are left as
// they are); every slot must lie in lowest..31 and a range may not run
// backwards. Returns "" or the reason the list is refused, naming the piece
// at fault.
std::string parse_slot_list(const std::string& list, int lowest, bool (&chosen)[J5_SCAN_NUM_SLOTS]);

#endif
