// CRC-32 as used by Ethernet and zip (reflected, polynomial 0xEDB88320):
// the fingerprint scan_sim shows for the firmware a card booted.
#ifndef SIM_CRC32_H
#define SIM_CRC32_H

#include <cstddef>
#include <cstdint>

uint32_t crc32(const uint8_t* data, size_t length);

#endif
