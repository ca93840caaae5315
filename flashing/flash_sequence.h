// The seven steps that put a loaded firmware image into one X3 card's
// older bank (flashing/flash_layout.h), its generation byte last.
//
// Each step returns 0, or -1 after its own message (standard error, except
// the second verify line, which goes to standard output). The steps run in
// order for one slot and the caller stops at the first failure.
#ifndef FLASHING_FLASH_SEQUENCE_H
#define FLASHING_FLASH_SEQUENCE_H

#include <cstdint>
#include <functional>

#include "flashing/flash_layout.h"
#include "scan/j5_scan_client.h"

// Programming and verifying go a row at a time.
const uint32_t ROW_SIZE = 0x100;

// Card address of the bank being programmed, and the generation it gets.
// Set by select_bank for each card, read by the later steps.
extern uint32_t bank_base;
extern uint32_t bootval;

// Hears how far the long steps are, when set (by whoever shows progress):
// erase_flash in sectors, program_flash and verify_flash in rows, each
// counting only the pieces it works on. Called with 0 done as the step
// starts and after each piece.
extern std::function<void(uint32_t done, uint32_t total)> on_step_units;

struct bank_choice {
  uint32_t bank_base;
  uint32_t bootval;
};

// Whether a generation byte as read names a generation: 1..254 do, 0xFF
// (erased) and 0 do not.
bool has_generation(uint8_t value);

// The bank to program and its new generation, from the two generation
// bytes as read. Generations count 1..254 and wrap to 1, so 1 is newer
// than 254 and nothing else is.
bank_choice choose_bank(uint8_t lo_val, uint8_t hi_val);

// Runs the seven steps below for one card, in order, until one fails;
// returns 0 or -1. `before_step`, when given, hears each step's name first.
int flash_card(j5_scan_client_t& client, int slot, const uint32_t* image,
               const std::function<void(const char* step)>& before_step = nullptr);

// What the step that failed in the last flash_card wrote to standard
// error, without its line end and trailing blanks; "" when it wrote
// nothing.
const char* last_failure_message();

int grab_flash(j5_scan_client_t& client, int slot);
int select_bank(j5_scan_client_t& client, int slot);
int erase_flash(j5_scan_client_t& client, int slot, const uint32_t* image);
int program_flash(j5_scan_client_t& client, int slot, const uint32_t* image);
int verify_flash(j5_scan_client_t& client, int slot, const uint32_t* image);
int write_bootval(j5_scan_client_t& client, int slot);
int reboot_card(j5_scan_client_t& client, int slot);

#endif
