#include "sim/x3_card.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "common/exception.h"
#include "scan/j5_scan_protocol.h"
#include "common/crc32.h"

namespace {

bool x3_kind(uint8_t code, x3_command_kind* kind) {
  switch (code) {
    case CARD_GRAB: *kind = x3_command_kind::grab; return true;
    case CARD_READ: *kind = x3_command_kind::read; return true;
    case CARD_WRITE: *kind = x3_command_kind::write; return true;
    case CARD_ERASE: *kind = x3_command_kind::erase; return true;
    case CARD_STATUS: *kind = x3_command_kind::status; return true;
    default: return false;
  }
}

// Places a one-byte answer when there is room; the length is 1 regardless.
int32_t one_byte(uint8_t value, int32_t rxlen, uint8_t* rxbuf) {
  if (rxlen >= 1) rxbuf[0] = value;
  return 1;
}

// A generation byte of 0, or one still erased, marks a bank that was never
// stamped.
bool has_generation(uint8_t value) { return value != 0 && value != 0xFF; }

// Whether generation `a` was stamped before generation `b`. Generations
// count 1 to 254 and then start again at 1, so 1 comes after 254; an
// unstamped bank comes before every stamped one.
bool written_before(uint8_t a, uint8_t b) {
  if (!has_generation(b)) return false;
  if (!has_generation(a)) return true;
  if (a == 254 && b == 1) return true;
  if (a == 1 && b == 254) return false;
  return a < b;
}

}  // namespace

std::unique_ptr<x3_card_state> blank_card_state() {
  auto state = std::make_unique<x3_card_state>();
  memset(state.get(), 0, sizeof *state);
  memset(state->flash, 0xFF, sizeof state->flash);
  memset(state->mcu.flash, 0xFF, sizeof state->mcu.flash);
  return state;
}

bool x3_card_t::classify(int32_t op, int32_t txlen, const uint8_t* tx,
                         x3_command_kind* kind) const {
  switch (op) {
    case J5_SCAN_OP_CONTROL:
      if (txlen != 3) return false;
      *kind = tx[0] == 1 && tx[1] == 1 && tx[2] == 1 ? x3_command_kind::reboot
                                                     : x3_command_kind::control;
      return true;
    case J5_SCAN_OP_CARD_COMMAND:
      // In monitor mode a two-byte op 0xC5 erases a microcontroller page.
      if (mcu_.in_monitor() && txlen == 2) {
        *kind = x3_command_kind::page_erase;
        return true;
      }
      return txlen >= 2 && tx[0] == tx[1] && x3_kind(tx[0], kind);
    case J5_SCAN_OP_CONFIG: *kind = x3_command_kind::config; return true;
    case J5_SCAN_OP_STATUS: *kind = x3_command_kind::readings; return true;
    case J5_SCAN_OP_ENTER_MONITOR: *kind = x3_command_kind::monitor_on; return true;
    case J5_SCAN_OP_LEAVE_MONITOR: *kind = x3_command_kind::monitor_off; return true;
    case J5_SCAN_OP_READ_ROW: *kind = x3_command_kind::row_read; return true;
    case J5_SCAN_OP_PROGRAM_ROW: *kind = x3_command_kind::row_write; return true;
    default: return false;
  }
}

int32_t x3_card_t::command(int32_t op, int32_t txlen, const uint8_t* tx, int32_t rxlen,
                           uint8_t* rx) {
  x3_command_kind kind;
  if (!classify(op, txlen, tx, &kind)) return -1;
  const int seen = ++seen_[kind];
  const x3_fault_rule* rule = nullptr;
  for (const x3_fault_rule& r : faults.rules) {
    if (r.kind == kind && (r.nth == 0 || r.nth == seen)) {
      rule = &r;
      break;
    }
  }
  if (rule && rule->action == x3_fault_action::power_cut) _exit(137);
  if (rule && rule->action == x3_fault_action::freeze) raise(SIGSTOP);
  if (rule && rule->action == x3_fault_action::drop_connection)
    throw exception_t("x3 card model: connection dropped");
  if (rule && !rule->reply.empty()) {
    std::copy_n(rule->reply.begin(), std::min<size_t>(rule->reply.size(), std::max(rxlen, 0)),
                rx);
    return rule->length;
  }
  const int32_t result = carry_out(kind, txlen, tx, rxlen, rx);
  // A frozen command that is let go on (SIGCONT) answers as usual.
  return rule && rule->action == x3_fault_action::reply ? rule->length : result;
}

const std::vector<uint8_t>& x3_card_t::record_types() const {
  const bool swapped = faults.swap_at > 0 && commands_seen(x3_command_kind::config) >= faults.swap_at;
  return swapped ? faults.swapped_types : default_record_types();
}

int32_t x3_card_t::carry_out(x3_command_kind kind, int32_t txlen, const uint8_t* tx,
                             int32_t rxlen, uint8_t* rx) {
  switch (kind) {
    case x3_command_kind::reboot:
      reboot();
      return 0;
    case x3_command_kind::config: return mcu_.configuration(record_types(), rxlen, rx);
    case x3_command_kind::readings: return mcu_.status(record_types(), rxlen, rx);
    case x3_command_kind::monitor_on: return mcu_.set_monitor(true);
    case x3_command_kind::monitor_off: return mcu_.set_monitor(false);
    case x3_command_kind::control: return mcu_.control(tx);
    case x3_command_kind::row_read: return mcu_.read_row(txlen, tx, rxlen, rx);
    case x3_command_kind::row_write: return mcu_.program_row(txlen, tx);
    case x3_command_kind::page_erase: return mcu_.erase_page(txlen, tx);
    default: return card_command(kind, txlen, tx, rxlen, rx);
  }
}

int32_t x3_card_t::card_command(x3_command_kind kind, int32_t txlen, const uint8_t* tx,
                                int32_t rxlen, uint8_t* rx) {
  if (kind == x3_command_kind::grab) return txlen == 2 ? one_byte(0x00, rxlen, rx) : -1;
  if (txlen < CARD_ADDRESSED_SIZE) return -1;
  // The address goes low byte first over four bytes; the card has 1 MiB of
  // flash and refuses any command for an address beyond it.
  const uint32_t address = tx[2] | tx[3] << 8 | tx[4] << 16 | uint32_t{tx[5]} << 24;
  if (address >= X3_FLASH_SIZE) return -1;
  uint8_t* flash = state_->flash;
  if (kind == x3_command_kind::erase || kind == x3_command_kind::status) {
    if (txlen != CARD_ADDRESSED_SIZE) return -1;
    if (kind == x3_command_kind::erase) {
      erase_failed_ = faults.erase_fails;
      if (!erase_failed_) memset(flash + address / X3_SECTOR_SIZE * X3_SECTOR_SIZE, 0xFF, X3_SECTOR_SIZE);
      busy_polls_left_ = faults.erase_busy_polls;
      return 0;
    }
    if (busy_polls_left_ > 0) {
      busy_polls_left_--;
      return one_byte(0x00, rxlen, rx);
    }
    return one_byte(erase_failed_ ? CARD_FAILED : CARD_PASSED, rxlen, rx);
  }
  if (txlen < CARD_TRANSFER_SIZE) return -1;
  const uint32_t count = tx[6] == 0 ? CARD_MAX_TRANSFER : tx[6];
  if (address + count > X3_FLASH_SIZE) return -1;
  if (kind == x3_command_kind::read) {
    memcpy(rx, flash + address, std::min<uint32_t>(count, std::max(rxlen, 0)));
    return count;
  }
  if (static_cast<uint32_t>(txlen) != CARD_TRANSFER_SIZE + count) return -1;
  // NOR flash: programming clears bits and never sets them.
  const uint8_t* data = tx + CARD_TRANSFER_SIZE;
  for (uint32_t i = 0; i < count; i++) {
    auto stuck = faults.stuck_bits.find(address + i);
    const uint8_t keep = stuck == faults.stuck_bits.end() ? 0 : stuck->second;
    flash[address + i] &= data[i] | keep;
  }
  return one_byte(CARD_PASSED, rxlen, rx);
}

uint32_t x3_card_t::bank_to_boot(const x3_card_state& state) {
  const uint8_t lower = state.flash[X3_BANK_BASE[0] + X3_GENERATION_OFFSET];
  const uint8_t upper = state.flash[X3_BANK_BASE[1] + X3_GENERATION_OFFSET];
  return has_generation(lower) && !written_before(lower, upper) ? 0 : 1;
}

// A restart also ends the microcontroller's monitor mode.
void x3_card_t::reboot() {
  const uint32_t bank = bank_to_boot(*state_);
  const uint32_t base = X3_BANK_BASE[bank];
  const uint8_t generation = state_->flash[base + X3_GENERATION_OFFSET];
  x3_boot_record& boot = state_->boot;
  boot.boot_count = boot.boot_count + 1;
  boot.booted_bank = bank;
  boot.generation = generation == 0xFF ? 0 : generation;
  boot.crc32 = crc32(state_->flash + base, X3_BANK_SIZE);
  state_->mcu.monitor = 0;
}
