// CRC-32 as used by Ethernet and zip (reflected, polynomial 0xEDB88320):
// the fingerprint of a bank's 512 KiB that x3image gives for an image and
// scan_sim for the firmware a card booted, so the two can be compared.
#ifndef COMMON_CRC32_H
#define COMMON_CRC32_H

#include <cstddef>
#include <cstdint>

// `previous`, the CRC of the bytes before `data`, continues a CRC over
// pieces; 0 starts one.
uint32_t crc32(const uint8_t* data, size_t length, uint32_t previous = 0);

#endif
