#include "sim/mcu_model.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// Port status (two ports), power supply, 3.3 V rail, 12 V rail, board
// temperature, fan current, per-port traffic counters, fan controller and
// board revision.
const std::vector<uint8_t> DEFAULT_TYPES = {1, 1, 2, 14, 16, 17, 20, 34, 35, 13};

const uint32_t TYPE34_GROUPS = 32;

void big_endian(uint32_t value, uint8_t* out) {
  out[0] = value >> 24;
  out[1] = value >> 16;
  out[2] = value >> 8;
  out[3] = value;
}

// A 16-bit microcontroller address sent high byte first.
uint32_t address_of(const uint8_t* tx) { return tx[0] << 8 | tx[1]; }

}  // namespace

const std::vector<uint8_t>& default_record_types() { return DEFAULT_TYPES; }

int status_size(uint8_t type) {
  switch (type) {
    case 1: return 6;
    case 2: return 3;
    case 6: return 12;
    case 13: return 1;
    case 14: case 15: case 16: case 18: case 20: return 2;
    case 17: case 32: case 33: return 3;
    case 34: return 450;
    case 35: return 8;
    default: return 0;
  }
}

int32_t mcu_model_t::configuration(const std::vector<uint8_t>& types, int32_t rxlen,
                                   uint8_t* rx) {
  std::vector<uint8_t> reply = {static_cast<uint8_t>(types.size())};
  reply.insert(reply.end(), types.begin(), types.end());
  char serial[32];
  snprintf(serial, sizeof serial, "X3A-%05d", 1200 + slot_);
  for (const char* text : {"X3 line card", static_cast<const char*>(serial), "rev C", "mcu 2.4.1"})
    reply.insert(reply.end(), text, text + strlen(text) + 1);
  memcpy(rx, reply.data(), std::min<size_t>(reply.size(), std::max(rxlen, 0)));
  return static_cast<int32_t>(reply.size());
}

void mcu_model_t::status_bytes(uint8_t type, uint8_t* s) const {
  const uint32_t k = state_->status_reads;
  switch (type) {
    case 1:  // link up, speed, duplex, new errors, port, flags
      s[0] = 1, s[1] = 3, s[2] = 1, s[3] = 10 + k % 7, s[4] = slot_, s[5] = 0x80;
      break;
    case 2:  // 12 V and 5 V input, supply good
      s[0] = 232 + k % 2, s[1] = 97, s[2] = 1;
      break;
    case 13:
      s[0] = 3;
      break;
    case 14:  // 3.3 V and 1.8 V rails
      s[0] = 255 - k % 3, s[1] = 139;
      break;
    case 15: case 16:
      s[0] = 229, s[1] = 0;
      break;
    case 17: {  // sensor id, temperature in 1/16 degree
      const uint32_t sixteenths = 680 + 4 * (k % 4);
      s[0] = 1, s[1] = sixteenths >> 8, s[2] = sixteenths & 0xFF;
      break;
    }
    case 18:
      s[0] = 7, s[1] = 9;
      break;
    case 20:  // alarm flags seen, fan current in units of 28.8 mA
      s[0] = k == 3 ? 0x04 : 0x01, s[1] = 52 + k % 5;
      break;
    case 34:  // ports, per port: frames in, frames out, four error sums, flags
      s[0] = TYPE34_GROUPS;
      for (uint32_t j = 0; j < TYPE34_GROUPS; j++) {
        uint8_t* group = s + 1 + 13 * j;
        big_endian(1000 + 10 * j, group);
        big_endian(50 + j, group + 4);
        group[8] = j, group[9] = k & 0xFF, group[10] = 1, group[11] = 2;
        group[12] = j == 5 && k % 2 ? 0x81 : 0x00;
        s[418 + j] = (j + k) & 0xFF;
      }
      s[417] = k & 0xFF;
      break;
    case 35: {  // fan speed and target in rpm, fans, duty, supply, alarms
      const uint32_t rpm = 4200 + 10 * (k % 3);
      s[0] = rpm >> 8, s[1] = rpm & 0xFF, s[2] = 4150 >> 8, s[3] = 4150 & 0xFF;
      s[4] = 2, s[5] = 60, s[6] = 232, s[7] = 0;
      break;
    }
    default:
      memset(s, 0, status_size(type));
  }
}

int32_t mcu_model_t::status(const std::vector<uint8_t>& types, int32_t rxlen, uint8_t* rx) {
  std::vector<uint8_t> reply;
  for (uint8_t type : types) {
    std::vector<uint8_t> record(status_size(type));
    status_bytes(type, record.data());
    reply.insert(reply.end(), record.begin(), record.end());
  }
  state_->status_reads = state_->status_reads + 1;
  memcpy(rx, reply.data(), std::min<size_t>(reply.size(), std::max(rxlen, 0)));
  return static_cast<int32_t>(reply.size());
}

int32_t mcu_model_t::set_monitor(bool on) {
  state_->monitor = on ? 1 : 0;
  return 0;
}

int32_t mcu_model_t::control(const uint8_t* tx) {
  state_->control[tx[0]][0] = tx[1];
  state_->control[tx[0]][1] = tx[2];
  return 0;
}

int32_t mcu_model_t::read_row(int32_t txlen, const uint8_t* tx, int32_t rxlen, uint8_t* rx) {
  if (!in_monitor() || txlen != 3 || tx[2] != MCU_ROW_SIZE) return -1;
  const uint32_t address = address_of(tx);
  if (address + MCU_ROW_SIZE > MCU_FLASH_SIZE) return -1;
  memcpy(rx, state_->flash + address, std::min<uint32_t>(MCU_ROW_SIZE, std::max(rxlen, 0)));
  return MCU_ROW_SIZE;
}

int32_t mcu_model_t::program_row(int32_t txlen, const uint8_t* tx) {
  if (!in_monitor() || txlen < 3 || txlen != 3 + tx[2]) return -1;
  const uint32_t address = address_of(tx);
  if (address + tx[2] > MCU_FLASH_SIZE) return -1;
  for (int i = 0; i < tx[2]; i++) state_->flash[address + i] &= tx[3 + i];
  return 0;
}

int32_t mcu_model_t::erase_page(int32_t txlen, const uint8_t* tx) {
  if (!in_monitor() || txlen != 2) return -1;
  const uint32_t page = address_of(tx) / MCU_PAGE_SIZE * MCU_PAGE_SIZE;
  memset(state_->flash + page, 0xFF, MCU_PAGE_SIZE);
  return 0;
}
