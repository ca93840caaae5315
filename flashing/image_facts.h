// What identifies a loaded image: its data bytes and their range, the
// CRC-32 of the bank a card holds once it is programmed (the one scan_sim
// and x3image show), and its version stamp. The upgrade history records
// it; x3image info prints it.
#ifndef FLASHING_IMAGE_FACTS_H
#define FLASHING_IMAGE_FACTS_H

#include <cstdint>
#include <string>

struct image_facts {
  uint32_t bytes = 0;  // bytes with data
  uint32_t lowest = 0, highest = 0;  // bank offsets of the first and last, when bytes > 0
  uint32_t crc = 0;    // of the bank's 512 KiB, bytes without data as 0xFF
  std::string type, compiled;  // the version stamp's, "" without one
};

// The stamp's text is read from at most this many bytes after its
// "Type: " marker: every stamp we ship is a few lines long, and the facts
// need no copy of the whole bank.
const uint32_t STAMP_WINDOW = 4096;

// Facts of a bank image of FLASH_IMAGE_WORDS words as the loader leaves
// it (one byte per word, NO_DATA where none). Reads the image and keeps
// only a few KiB besides.
image_facts describe_image(const uint32_t* words);

// The facts as they are written wherever they are shown (x3image info
// --json, the upgrade history, the status page): a CRC-32 as 8 lowercase
// hex digits, "1a2b3c4d"; a bank offset as "0x" and at least 5,
// "0x11fff".
std::string crc32_text(uint32_t crc);
std::string offset_text(uint32_t offset);

#endif
