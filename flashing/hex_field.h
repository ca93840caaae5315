// Reads one hexadecimal field of an S-record line.
#ifndef FLASHING_HEX_FIELD_H
#define FLASHING_HEX_FIELD_H

#include <cstdint>

// Reads a number from the NUL-terminated `text` exactly as
// sscanf(text, "%<width>x", ...) does: leading blanks are skipped, a sign
// and a 0x prefix are allowed, fewer than `width` digits are enough, and a
// negative number is stored as its unsigned 32-bit value ("-1" gives
// 0xFFFFFFFF). Returns true and stores the number in *value when one was
// read; otherwise returns false and leaves *value as it was.
// `width` is 1 to 8. Nothing at or after the terminating NUL is read.
//
// Ordinary fields (`width` plain hex digits) are converted here directly,
// which is what makes loading a full image fast; every other text is handed
// to sscanf itself, so the result is the same as sscanf's in all cases.
bool parse_hex_field(const char* text, int width, uint32_t* value);

#endif
