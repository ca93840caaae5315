// X3 card state kept in a file, one per slot, "slotNN.x3" in a state
// directory: the x3_card_state record as it lies in memory (1 MiB of card
// flash, the boot record, the microcontroller's flash and registers). Its
// numbers are stored most significant byte first, so the same files serve
// scan_sim on any machine.
#ifndef SIM_CARD_STATE_FILE_H
#define SIM_CARD_STATE_FILE_H

#include <memory>
#include <string>

#include "sim/x3_card.h"

// "DIR/slotNN.x3".
std::string card_state_path(const std::string& directory, int slot);

// Maps the state file at `path` shared, creating it as a blank card (all
// flash 0xFF, never booted) when it does not exist. Every store the card
// model makes lands in the page cache at once, so a kill -9 of the process
// loses nothing that was acknowledged. Throws exception_t on failure; the
// mapping ends with the returned pointer.
std::shared_ptr<x3_card_state> map_card_state(const std::string& path);

// Reads a state file; false when it is missing or has the wrong size.
bool read_card_state(const std::string& path, x3_card_state* state);

#endif
