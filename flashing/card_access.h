// X3 card commands and the two routines that read and write card flash.
//
// The tool never talks to a card directly: every flash access is a scan
// command with op 0xC5 whose transmit bytes are a card command:
//   code, code again, address bits 0-7, 8-15, 16-23, 0x00,
//   then for read and write the byte count modulo 256 and, for a write,
//   the data.
// The card answers a grab with 0x00, a read with the bytes, a write with
// "P", an erase with nothing, and an erase status query with "P" (done),
// "F" (flash failed) or any other byte (still busy).
#ifndef FLASHING_CARD_ACCESS_H
#define FLASHING_CARD_ACCESS_H

#include <cstdint>

#include "scan/j5_scan_protocol.h"
#include "scan/j5_scan_client.h"

const uint8_t X3_GRAB = 0xC3;
const uint8_t X3_READ = 0xA3;
const uint8_t X3_WRITE = 0x93;
const uint8_t X3_ERASE = 0x33;
const uint8_t X3_STATUS = 0x53;

const uint8_t X3_PASSED = 'P';
const uint8_t X3_FAILED = 'F';

// Card command header bytes before the count; a read or write adds one
// count byte, a write then the data. At most 256 bytes move at a time.
const int X3_ADDRESSED_COMMAND_SIZE = 6;
const int X3_TRANSFER_SIZE = 7;
const int X3_MAX_TRANSFER = 256;

// Writes the 6-byte addressed command (code twice, address low byte first,
// a zero byte) to `out`.
void x3_command(uint8_t code, uint32_t address, uint8_t* out);

// Reads min(count, 256) bytes of card flash at `address` into `buffer`:
// 0, or -1 when the exchange failed or the reply length was not that count
// (bytes that did arrive stay in the buffer). Prints nothing.
int flash_read(j5_scan_client_t& client, int slot, int address, int count, uint8_t* buffer);

// Writes min(count, 256) bytes of `data` to card flash at `address`:
// 0 when the card answered with the single byte "P", else -1. Prints
// nothing.
int flash_write(j5_scan_client_t& client, int slot, int address, int count, const uint8_t* data);

// Hex dump of min(count, 256) bytes of card flash on standard output,
// 16 to a line. Ends the process with exit value -1 when the read fails.
void print_addr(j5_scan_client_t& client, int slot, int address, int count);

#endif
