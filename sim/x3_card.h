// A model of one X3 line card as the scan service sees it, for tests, the
// benchmarks and the simulated backplane: the card's flash, answering the
// X3 card commands, and its microcontroller.
//
// The model is the tests' oracle, so it states the hardware in its own
// words: its flash layout, command codes and microcontroller geometry are
// written here and in sim/mcu_model.h from the card's description, and
// nothing of flashing/ or serial/ is included. A fact the tool gets wrong
// then shows as a test failure instead of agreeing with itself.
#ifndef SIM_X3_CARD_H
#define SIM_X3_CARD_H

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "sim/mcu_model.h"

const uint32_t X3_FLASH_SIZE = 0x100000;
const uint32_t X3_SECTOR_SIZE = 0x10000;
const uint32_t X3_BANK_SIZE = 0x80000;

// The card's two firmware banks overlap by one sector. Each carries its
// generation byte 64 KiB into the bank; the boot code reads both bytes.
const uint32_t X3_BANK_BASE[2] = {0x00000, 0x70000};
const uint32_t X3_GENERATION_OFFSET = 0x10000;

// The card's own command set, carried in scan op 0xC5: the code twice,
// the address low byte first over four bytes, and for a read or a write a
// count byte (0 meaning 256), then a write's data. The card answers a
// write, and an erase status query once the erase is done, with "P" or "F".
const uint8_t CARD_GRAB = 0xC3, CARD_READ = 0xA3, CARD_WRITE = 0x93, CARD_ERASE = 0x33,
              CARD_STATUS = 0x53;
const uint8_t CARD_PASSED = 'P', CARD_FAILED = 'F';
const int32_t CARD_ADDRESSED_SIZE = 6;  // code, code, four address bytes
const int32_t CARD_TRANSFER_SIZE = 7;   // and the count byte
const uint32_t CARD_MAX_TRANSFER = 256;

// What the last reboot found: the bank the card started from, its
// generation and a CRC-32 of the bank's 512 KiB.
struct x3_boot_record {
  be32 boot_count;
  be32 booted_bank;  // 0 or 1
  be32 generation;   // that bank's generation byte, 0 for none
  be32 crc32;
};

// Everything a card keeps across power cycles; plain data, so that it can
// live in memory or in a file mapped by the backplane.
struct x3_card_state {
  uint8_t flash[X3_FLASH_SIZE];
  x3_boot_record boot;
  mcu_state mcu;
};

// A card fresh from the factory: all flash erased, never booted.
std::unique_ptr<x3_card_state> blank_card_state();

// The commands a card answers, for fault rules and counting.
enum class x3_command_kind {
  // X3 card commands (op 0xC5) and the restart (op 0x93, 01 01 01).
  grab, read, write, erase, status, reboot,
  // The microcontroller: ops 51, 83, 149, 165, 147, 163, 101, and 197
  // with two bytes while in monitor mode.
  config, readings, monitor_on, monitor_off, control, row_read, row_write, page_erase,
};

enum class x3_fault_action {
  reply,            // answer with `length` (and `reply`, when given) instead
  drop_connection,  // the service closes the request's connection unanswered
  power_cut,        // the whole service process ends at once, as in a power cut
  freeze,           // the process stops (SIGSTOP) before the command, for a
                    // test to kill it there
};

// Takes over the nth command of a kind (counted from 1 since the card was
// inserted; 0 matches every one). A rule with reply bytes keeps the command
// from the card; a rule with a length alone lets the card carry it out and
// reports that length instead of the real one.
struct x3_fault_rule {
  x3_command_kind kind;
  int nth;
  x3_fault_action action;
  int32_t length;
  std::vector<uint8_t> reply;
};

// Injectable misbehaviour of the card itself.
struct x3_card_faults {
  int erase_busy_polls = 0;                 // "busy" answers before "P"
  bool erase_fails = false;                 // the erase leaves the sector and reports "F"
  std::map<uint32_t, uint8_t> stuck_bits;   // address -> bits that stay 1
  // From the swap_at-th configuration reply on (0: never), the card reports
  // these record types, as if another card had been put into the slot.
  int swap_at = 0;
  std::vector<uint8_t> swapped_types;
  std::vector<x3_fault_rule> rules;
};

// Answers the card commands of scan op 0xC5 (grab, read, write, erase,
// erase status) and the restart of op 0x93 over 1 MiB of NOR flash:
// erased bytes read 0xFF, programming can only clear bits, erase works on
// whole 64 KiB sectors. A reboot starts the bank with the newer generation
// byte and records it. The microcontroller's ops go to its model. The state
// is the caller's (memory or a mapped file); every command changes it in
// place before answering.
class x3_card_t {
 public:
  x3_card_t(x3_card_state* state, int slot) : state_(state), mcu_(&state->mcu, slot) {}

  // One scan command for this card: places at most rxlen reply bytes and
  // returns the reply length, -1 for a command the card does not know.
  // Throws exception_t for an injected dropped connection.
  int32_t command(int32_t op, int32_t txlen, const uint8_t* txbuf, int32_t rxlen, uint8_t* rxbuf);

  // How many commands of a kind the card has received.
  int commands_seen(x3_command_kind kind) const {
    auto it = seen_.find(kind);
    return it == seen_.end() ? 0 : it->second;
  }

  x3_card_faults faults;
  x3_card_state& state() { return *state_; }

  // The bank a restart would start now, as the card's boot code picks it:
  // the one with the newer generation byte, 1 being newer than 254. The
  // lower bank wins a tie; with no generation in either bank the boot code
  // ends on the upper bank.
  static uint32_t bank_to_boot(const x3_card_state& state);

 private:
  bool classify(int32_t op, int32_t txlen, const uint8_t* tx, x3_command_kind* kind) const;
  int32_t carry_out(x3_command_kind kind, int32_t txlen, const uint8_t* tx, int32_t rxlen,
                    uint8_t* rx);
  int32_t card_command(x3_command_kind kind, int32_t txlen, const uint8_t* tx, int32_t rxlen,
                       uint8_t* rx);
  const std::vector<uint8_t>& record_types() const;
  void reboot();

  x3_card_state* state_;
  mcu_model_t mcu_;
  std::map<x3_command_kind, int> seen_;
  int busy_polls_left_ = 0;
  bool erase_failed_ = false;
};

#endif
