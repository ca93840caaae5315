#include "flashing/image_facts.h"

#include <algorithm>
#include <cstring>

#include "common/crc32.h"
#include "common/exception.h"
#include "flashing/s19_loader.h"
#include "scan/j5_scan_client.h"

namespace {

uint8_t byte_at(const uint32_t* words, uint32_t offset) {
  return words[offset] == NO_DATA ? 0xFF : static_cast<uint8_t>(words[offset]);
}

// The offset of the first "Type: " in the bank, or FLASH_IMAGE_WORDS.
uint32_t find_stamp(const uint32_t* words) {
  const uint32_t length = strlen(J5_SCAN_TYPE_MARKER);
  for (uint32_t offset = 0; offset + length <= FLASH_IMAGE_WORDS; offset++) {
    uint32_t k = 0;
    while (k < length && byte_at(words, offset + k) == static_cast<uint8_t>(J5_SCAN_TYPE_MARKER[k])) k++;
    if (k == length) return offset;
  }
  return FLASH_IMAGE_WORDS;
}

// At least `digits` lowercase hex digits of `value`.
std::string hex_digits(uint32_t value, int digits) {
  static const char HEX[] = "0123456789abcdef";
  std::string text;
  for (; value != 0 || digits > 0; value >>= 4, digits--) text.insert(text.begin(), HEX[value & 15]);
  return text;
}

}  // namespace

std::string crc32_text(uint32_t crc) { return hex_digits(crc, 8); }
std::string offset_text(uint32_t offset) { return "0x" + hex_digits(offset, 5); }

image_facts describe_image(const uint32_t* words) {
  image_facts facts;
  uint8_t piece[4096];
  for (uint32_t start = 0; start < FLASH_IMAGE_WORDS; start += sizeof piece) {
    for (uint32_t k = 0; k < sizeof piece; k++) {
      const uint32_t offset = start + k;
      piece[k] = byte_at(words, offset);
      if (words[offset] == NO_DATA) continue;
      if (facts.bytes == 0) facts.lowest = offset;
      facts.highest = offset;
      facts.bytes++;
    }
    facts.crc = crc32(piece, sizeof piece, facts.crc);
  }

  // The stamp as find_version, get_type and get_date read it, from a copy
  // of the bytes after its marker.
  const uint32_t stamp = find_stamp(words);
  if (stamp == FLASH_IMAGE_WORDS) return facts;
  uint8_t window[STAMP_WINDOW];
  const uint32_t length = std::min(STAMP_WINDOW, FLASH_IMAGE_WORDS - stamp);
  for (uint32_t k = 0; k < length; k++) window[k] = byte_at(words, stamp + k);
  char version[STAMP_WINDOW + 1] = "";
  j5_scan_client_t reader("localhost", J5_SCAN_ID_NONE);
  reader.find_version(window, static_cast<int32_t>(length), version);
  char text[J5_SCAN_TEXT_SIZE];
  facts.type = reader.get_type(version, text);
  try {
    facts.compiled = reader.get_date(version, text);
  } catch (const exception_t&) {
    // A stamp without its date line: the type alone is still worth showing.
  }
  return facts;
}
