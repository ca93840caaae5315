// Loads an X3 firmware image from Motorola S-records into the flash image.
#ifndef FLASHING_S19_LOADER_H
#define FLASHING_S19_LOADER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "flashing/flash_layout.h"

// One 32-bit word per byte offset of a 512 KiB flash bank.
// 0xFFFFFFFF: the file gave no byte there; 0x00..0xFF: the byte it gave.
const uint32_t FLASH_IMAGE_WORDS = BANK_SIZE;
const uint32_t NO_DATA = 0xFFFFFFFF;

// Set by load_s19_image when an S3 record places a byte at offset 0x10000
// or above (before the range check, so also for a byte beyond the image);
// the caller clears it before loading.
extern int image_above_64k;

// What load_s19_image returns.
const int S19_LOADED = 0;
const int S19_BAD_FILE = -1;       // after its message on standard output
const int S19_OUT_OF_RANGE = -2;   // a byte beyond offset 0x7FFFF; no message

// Sees the input exactly as load_s19_image reads it: every piece of a line
// (a line longer than the line buffer comes in pieces), in order, with its
// exact length, also when it holds a zero byte.
class s19_input_observer {
 public:
  virtual ~s19_input_observer() = default;
  virtual void read(const char* bytes, size_t length) = 0;
};

// Reads S-record lines from `in` (standard input for the CGI program) into
// `image` until an S7 or S9 record; nothing after that line is read. Only S3
// records carry data: byte i of a record goes to word address + i, and a
// later record for the same offset overwrites an earlier one. Other lines
// are skipped.
//
// Lines are read through a 512-byte buffer, so a line of more than 511
// characters arrives in pieces. An S3 record counts only when its line ends
// within the buffer (a record of count 253 with CR LF just does); the rest
// of any longer line is skipped, never taken for a line of its own. A file
// with carriage returns alone for line ends is one long line and never
// loads.
//
// Returns S19_LOADED, or S19_BAD_FILE after writing one of these to
// standard output:
//   "Error with length field"            an S3 count that cannot be read
//   "Checksum error on line:\n<line>\n"  a bad S3 record, or one whose
//                                        line does not end within the buffer
//   "Missing S7/S9 termination record"   input ended before or right
//                                        after the end record's line
// or S19_OUT_OF_RANGE as soon as a record places a byte beyond the image,
// with that offset in *beyond when given; what to say about it and whether
// to go on is the caller's. In every failure the image holds what was
// stored so far. `observer`, when given, sees each piece as it is read.
int load_s19_image(uint32_t* image, FILE* in = stdin, uint32_t* beyond = nullptr,
                   s19_input_observer* observer = nullptr);

#endif
