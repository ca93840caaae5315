#include "sim/x3_card.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>

#include "common/exception.h"
#include "flashing/card_access.h"
#include "flashing/flash_sequence.h"
#include "sim/crc32.h"

namespace {

bool decode_kind(uint8_t code, x3_command_kind* kind) {
  switch (code) {
    case X3_GRAB: *kind = x3_command_kind::grab; return true;
    case X3_READ: *kind = x3_command_kind::read; return true;
    case X3_WRITE: *kind = x3_command_kind::write; return true;
    case X3_ERASE: *kind = x3_command_kind::erase; return true;
    case X3_STATUS: *kind = x3_command_kind::status; return true;
    default: return false;
  }
}

// Places a one-byte answer when there is room; the length is 1 regardless.
int32_t one_byte(uint8_t value, int32_t rxlen, uint8_t* rxbuf) {
  if (rxlen >= 1) rxbuf[0] = value;
  return 1;
}

}  // namespace

int32_t x3_card_t::command(int32_t op, int32_t txlen, const uint8_t* tx, int32_t rxlen,
                           uint8_t* rxbuf) {
  if (op == X3_REBOOT_OP) {
    if (txlen != 3 || tx[0] != 1 || tx[1] != 1 || tx[2] != 1) return -1;
    int32_t result = 0;
    if (injected(x3_command_kind::reboot, rxlen, rxbuf, &result)) return result;
    reboot();
    return 0;
  }
  x3_command_kind kind;
  if (op != X3_CARD_OP || txlen < 2 || tx[0] != tx[1] || !decode_kind(tx[0], &kind)) return -1;
  if (kind == x3_command_kind::grab) {
    if (txlen != 2) return -1;
    return card_command(kind, 0, 0, nullptr, rxlen, rxbuf);
  }
  if (txlen < X3_ADDRESSED_COMMAND_SIZE) return -1;
  const uint32_t address = tx[2] | tx[3] << 8 | tx[4] << 16;
  if (kind == x3_command_kind::erase || kind == x3_command_kind::status) {
    if (txlen != X3_ADDRESSED_COMMAND_SIZE) return -1;
    return card_command(kind, address, 0, nullptr, rxlen, rxbuf);
  }
  if (txlen < X3_TRANSFER_SIZE) return -1;
  const uint32_t count = tx[6] == 0 ? X3_MAX_TRANSFER : tx[6];
  if (kind == x3_command_kind::write && static_cast<uint32_t>(txlen) != X3_TRANSFER_SIZE + count)
    return -1;
  if (address + count > X3_FLASH_SIZE) return -1;
  return card_command(kind, address, count, tx + X3_TRANSFER_SIZE, rxlen, rxbuf);
}

bool x3_card_t::injected(x3_command_kind kind, int32_t rxlen, uint8_t* rxbuf, int32_t* result) {
  const int seen = ++seen_[kind];
  for (const x3_fault_rule& rule : faults.rules) {
    if (rule.kind != kind || (rule.nth != 0 && rule.nth != seen)) continue;
    if (rule.action == x3_fault_action::power_cut) _exit(137);
    if (rule.action == x3_fault_action::drop_connection)
      throw exception_t("x3 card model: connection dropped");
    std::copy_n(rule.reply.begin(), std::min<size_t>(rule.reply.size(), std::max(rxlen, 0)),
                rxbuf);
    *result = rule.length;
    return true;
  }
  return false;
}

int32_t x3_card_t::card_command(x3_command_kind kind, uint32_t address, uint32_t count,
                                const uint8_t* data, int32_t rxlen, uint8_t* rxbuf) {
  int32_t result = 0;
  if (injected(kind, rxlen, rxbuf, &result)) return result;
  uint8_t* flash = state_->flash;
  switch (kind) {
    case x3_command_kind::grab:
      return one_byte(0x00, rxlen, rxbuf);
    case x3_command_kind::read:
      memcpy(rxbuf, flash + address, std::min<uint32_t>(count, std::max(rxlen, 0)));
      return count;
    case x3_command_kind::write:
      // NOR flash: programming clears bits and never sets them.
      for (uint32_t i = 0; i < count; i++) {
        auto stuck = faults.stuck_bits.find(address + i);
        const uint8_t keep = stuck == faults.stuck_bits.end() ? 0 : stuck->second;
        flash[address + i] &= data[i] | keep;
      }
      return one_byte(X3_PASSED, rxlen, rxbuf);
    case x3_command_kind::erase:
      erase_failed_ = faults.erase_fails;
      if (!erase_failed_) memset(flash + address / X3_SECTOR_SIZE * X3_SECTOR_SIZE, 0xFF, X3_SECTOR_SIZE);
      busy_polls_left_ = faults.erase_busy_polls;
      return 0;
    case x3_command_kind::status:
      if (busy_polls_left_ > 0) {
        busy_polls_left_--;
        return one_byte(0x00, rxlen, rxbuf);
      }
      return one_byte(erase_failed_ ? X3_FAILED : X3_PASSED, rxlen, rxbuf);
    case x3_command_kind::reboot:
      break;
  }
  return -1;
}

uint32_t x3_card_t::bank_to_boot(const x3_card_state& state) {
  const uint8_t lo_val = state.flash[BANK0_BASE + GENERATION_OFFSET];
  const uint8_t hi_val = state.flash[BANK1_BASE + GENERATION_OFFSET];
  return choose_bank(lo_val, hi_val).bank_base == BANK0_BASE ? 1 : 0;
}

void x3_card_t::reboot() {
  const uint32_t bank = bank_to_boot(*state_);
  const uint32_t base = bank == 1 ? BANK1_BASE : BANK0_BASE;
  const uint8_t generation = state_->flash[base + GENERATION_OFFSET];
  x3_boot_record& boot = state_->boot;
  boot.boot_count++;
  boot.booted_bank = bank;
  boot.generation = generation == 0xFF ? 0 : generation;
  boot.crc32 = crc32(state_->flash + base, X3_BANK_SIZE);
}
