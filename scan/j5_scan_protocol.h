// The scan request protocol's shared facts, for everything on either end
// of it: the client and the service, the X3 card and microcontroller
// commands, the tools and the simulated cards.
//
// Request, one per TCP connection, every integer a 32-bit big-endian word:
//   id, n, then n headers (slot, op, rxlen, txlen), then the transmit bytes.
// The client sends each header followed by its transmit bytes; the server
// reads all headers before any transmit bytes, so the two agree whenever
// only the last command of a batch carries transmit bytes (true of every
// request this tool sends). Reply, per command in order: the count (the
// command's signed result), then min(count, rxlen) reply bytes when above 0.
//
// The service keeps ops 1 and 2 for itself (who owns the scan chain) and
// hands every other op, with its slot and buffers, to the card in the slot.
// What the bytes of each card op mean is fixed by the code that builds them.
#ifndef SCAN_J5_SCAN_PROTOCOL_H
#define SCAN_J5_SCAN_PROTOCOL_H

#include <cstdint>

const int32_t J5_SCAN_PORT = 1971;

// Limits of one request.
const int32_t J5_SCAN_NUM_SLOTS = 32;
const int32_t J5_SCAN_MAX_TX = 4094;  // transmit bytes of all its commands
const int32_t J5_SCAN_MAX_RX = 4096;  // reply bytes of one command
const int32_t MAX_REQUESTS = 100;     // commands

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

// Client ids. One id at a time may hold the service; two programs that may
// run side by side never share one. Id 0 never holds it (its grab leaves
// the service free), so a client that only reads local files uses it.
const int32_t J5_SCAN_ID_NONE = 0;
const int32_t J5_SCAN_ID_FLASH_X3 = 6;      // the web front end
const int32_t J5_SCAN_ID_PROG_X3FLASH = 7;  // the command-line upgrade
const int32_t J5_SCAN_ID_LINECARD = 8;      // the engineers' card tool
const int32_t J5_SCAN_ID_TEST_OTHER = 9;    // a second client in the tests
const int32_t J5_SCAN_ID_LOAD_FIRST = 10;   // the load run's clients, 10 on
const int32_t J5_SCAN_ID_LOAD_LAST = 99;    // and the one that checks the service after it

#endif
