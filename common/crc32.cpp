#include "common/crc32.h"

#include <array>

namespace {

std::array<uint32_t, 256> make_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; n++) {
    uint32_t c = n;
    for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

}  // namespace

uint32_t crc32(const uint8_t* data, size_t length, uint32_t previous) {
  static const std::array<uint32_t, 256> table = make_table();
  uint32_t c = previous ^ 0xFFFFFFFFu;
  for (size_t i = 0; i < length; i++) c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}
