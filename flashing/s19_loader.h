// Loads an X3 firmware image from Motorola S-records into the flash image.
#ifndef FLASHING_S19_LOADER_H
#define FLASHING_S19_LOADER_H

#include <cstdint>
#include <cstdio>

// One 32-bit word per byte offset of a 512 KiB flash bank.
// 0xFFFFFFFF: the file gave no byte there; 0x00..0xFF: the byte it gave.
const uint32_t FLASH_IMAGE_WORDS = 0x80000;
const uint32_t NO_DATA = 0xFFFFFFFF;

// Set by load_s19_image when an S3 record places a byte at offset 0x10000
// or above (before the range check, so also for a byte that ends the
// process with "OutOfRange"); the caller clears it before loading.
extern int image_above_64k;

// Reads S-record lines from `in` (standard input for the CGI program) into
// `image` until an S7 or S9 record; nothing after that line is read. Only S3
// records carry data: byte i of a record goes to word address + i, and a
// later record for the same offset overwrites an earlier one. Other lines
// are skipped.
// Returns 0, or -1 after writing one of these to standard output:
//   "Error with length field"            an S3 count that cannot be read
//   "Checksum error on line:\n<line>\n"  a bad S3 record
//   "Missing S7/S9 termination record"   input ended before or right
//                                        after the end record's line
// A byte beyond offset 0x7FFFF ends the process with exit value -1 after
// "OutOfRange" (through s19_out_of_range_handler, below). After -1 the image
// holds what was stored so far.
int load_s19_image(uint32_t* image, FILE* in = stdin);

// What load_s19_image calls right after writing "OutOfRange" and a line end
// to standard output. The default, s19_exit_out_of_range, ends the process
// with exit value -1 (exit flushes standard output), which is what the CGI
// program relies on. A harness that must survive the case (the fuzz
// targets) points this at a function of its own that throws; a handler
// never returns into the loader: if one does, the process ends as by
// default.
using s19_out_of_range_fn = void (*)();
extern s19_out_of_range_fn s19_out_of_range_handler;
[[noreturn]] void s19_exit_out_of_range();

#endif
