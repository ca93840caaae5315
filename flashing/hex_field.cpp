#include "flashing/hex_field.h"

#include <cstdio>

namespace {

// Digit value of every byte, or -1 for a byte that is not a hex digit
// (the terminating NUL included).
struct digit_table_t {
  int8_t value[256];
  constexpr digit_table_t() : value() {
    for (int c = 0; c < 256; ++c) value[c] = -1;
    for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<int8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) value[c] = static_cast<int8_t>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c) value[c] = static_cast<int8_t>(c - 'A' + 10);
  }
};
constexpr digit_table_t DIGITS;

const char* const FORMATS[] = {"%1x", "%2x", "%3x", "%4x", "%5x", "%6x", "%7x", "%8x"};

}  // namespace

bool parse_hex_field(const char* text, int width, uint32_t* value) {
  // When the first `width` characters are all hex digits, sscanf reads
  // exactly those: no blank to skip, no sign, and no room for a 0x prefix
  // since 'x' is not a digit. The scan stops at the first non-digit, so a
  // short text is never read past its NUL.
  uint32_t number = 0;
  int i = 0;
  for (; i < width; ++i) {
    int digit = DIGITS.value[static_cast<unsigned char>(text[i])];
    if (digit < 0) break;
    number = (number << 4) | static_cast<uint32_t>(digit);
  }
  if (i == width) {
    *value = number;
    return true;
  }

  // Blanks, signs, prefixes, short or empty fields: let sscanf decide.
  unsigned int scanned;
  if (sscanf(text, FORMATS[width - 1], &scanned) != 1) return false;
  *value = scanned;
  return true;
}
