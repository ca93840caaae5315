// The 32-bit words of the scan protocol on the wire, for both of its ends.
#ifndef SCAN_J5_SCAN_WIRE_H
#define SCAN_J5_SCAN_WIRE_H

#include <arpa/inet.h>

#include <cstdint>

#include "scan/qb_literate.h"

// The wire form of one 32-bit word.
inline uint32_t wire_word(int32_t value) { return htonl(static_cast<uint32_t>(value)); }

// The next word of a message framed as `in` knows it; take's result.
inline int32_t take_word(qb_framed_reader_t& in, int32_t* value, int64_t bound) {
  uint32_t wire = 0;
  int32_t r = in.take(&wire, sizeof wire, bound);
  *value = static_cast<int32_t>(ntohl(wire));
  return r;
}

#endif
