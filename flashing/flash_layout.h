// The X3 card's flash as the tool programs it.
//
// Two banks of 512 KiB, bank 0 at card address 0x00000 and bank 1 at
// 0x70000: the two share the sector 0x70000-0x7FFFF, bank 0's last and
// bank 1's first, so an image with data there damages the other bank.
// Each bank's generation byte sits at its base + 0x10000 (0x10000 for
// bank 0, 0x80000 for bank 1); 1..254 are generations, 0xFF (erased) is
// none. The card boots the bank with the newer generation, so an upgrade
// programs the other bank and writes its generation byte last: until then
// a failure leaves the previous firmware bootable.
#ifndef FLASHING_FLASH_LAYOUT_H
#define FLASHING_FLASH_LAYOUT_H

#include <cstdint>

const uint32_t BANK_SIZE = 0x80000;
const uint32_t BANK0_BASE = 0x00000;
const uint32_t BANK1_BASE = 0x70000;
const uint32_t GENERATION_OFFSET = 0x10000;

// What an erased flash byte reads.
const uint8_t ERASED = 0xFF;

// Erase works on whole sectors.
const uint32_t SECTOR_SIZE = 0x10000;
const uint32_t SECTORS_PER_BANK = BANK_SIZE / SECTOR_SIZE;
// Where the shared sector starts, as an offset into bank 0.
const uint32_t SHARED_SECTOR_OFFSET = BANK1_BASE - BANK0_BASE;

#endif
