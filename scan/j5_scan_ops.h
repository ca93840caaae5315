// The scan op codes, for everything that sends or answers a scan command:
// the client and the service, the X3 card commands, the microcontroller
// commands and the simulated cards.
//
// The service keeps ops 1 and 2 for itself (who owns the scan chain) and
// hands every other op, with its slot and buffers, to the card in the slot.
// What the bytes of each card op mean is fixed by the code that builds them.
#ifndef SCAN_J5_SCAN_OPS_H
#define SCAN_J5_SCAN_OPS_H

#include <cstdint>

// Ops the service interprets itself.
const int32_t J5_SCAN_OP_GRAB = 1;
const int32_t J5_SCAN_OP_RELEASE = 2;

// Ops for the cards.
const int32_t J5_SCAN_OP_CONFIG = 51;          // 0x33, the microcontroller's configuration reply
const int32_t J5_SCAN_OP_STATUS = 83;          // 0x53, the microcontroller's status reply
const int32_t J5_SCAN_OP_PROGRAM_ROW = 101;    // 0x65, program a row of microcontroller flash
// 0x93: three bytes 01 01 01 restart the card; any other three bytes are a
// record position and two control bytes for the microcontroller. The
// client's short write sends its bytes with this op too.
const int32_t J5_SCAN_OP_CONTROL = 147;
const int32_t J5_SCAN_OP_ENTER_MONITOR = 149;  // 0x95
const int32_t J5_SCAN_OP_READ_ROW = 163;       // 0xA3, read a row of microcontroller flash
const int32_t J5_SCAN_OP_LEAVE_MONITOR = 165;  // 0xA5
// 0xC5: an X3 card command (grab, read, write, erase, erase status); in
// monitor mode, two bytes erase a page of microcontroller flash.
const int32_t J5_SCAN_OP_CARD_COMMAND = 197;

#endif
