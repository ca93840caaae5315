// A model of the 9S08 microcontroller on an X3 line card: the configuration
// and status records it reports, its control bytes, monitor mode, and its
// 64 KiB of program flash (erased in 512-byte pages, read and programmed in
// rows).
#ifndef SIM_MCU_MODEL_H
#define SIM_MCU_MODEL_H

#include <cstdint>
#include <vector>

// A 32-bit number stored most significant byte first, so that a state
// file means the same to a scan_sim built for the switch's big-endian
// controller and to one built for a developer's PC.
class be32 {
 public:
  operator uint32_t() const {
    return static_cast<uint32_t>(bytes_[0]) << 24 | bytes_[1] << 16 | bytes_[2] << 8 | bytes_[3];
  }
  be32& operator=(uint32_t value) {
    bytes_[0] = value >> 24;
    bytes_[1] = value >> 16;
    bytes_[2] = value >> 8;
    bytes_[3] = value;
    return *this;
  }

 private:
  uint8_t bytes_[4];
};

const uint32_t MCU_FLASH_SIZE = 0x10000;
const uint32_t MCU_PAGE_SIZE = 0x200;
const uint32_t MCU_ROW_SIZE = 0x40;

// What the microcontroller keeps across power cycles (plain data, stored
// with the card's state).
struct mcu_state {
  uint8_t flash[MCU_FLASH_SIZE];
  uint8_t control[256][2];  // the two control bytes last written per record position
  be32 monitor;             // 1 while in monitor mode
  be32 status_reads;        // status replies given so far: drives the readings
};

// The record types the card reports by default, in reply order.
const std::vector<uint8_t>& default_record_types();

// Number of status bytes of a record type; 0 for a type the card never
// reports.
int status_size(uint8_t type);

// Answers the microcontroller's scan ops. Every answer is a reply length
// (negative for a refused command) with at most rxlen bytes placed.
class mcu_model_t {
 public:
  mcu_model_t(mcu_state* state, int slot) : state_(state), slot_(slot) {}

  // Op 51: the count of type bytes, the type bytes, then the board name,
  // serial number, hardware revision and firmware version.
  int32_t configuration(const std::vector<uint8_t>& types, int32_t rxlen, uint8_t* rx);
  // Op 83: each record's status bytes in type order. The values drift and
  // the counters advance from one reply to the next.
  int32_t status(const std::vector<uint8_t>& types, int32_t rxlen, uint8_t* rx);
  // Ops 149 and 165.
  int32_t set_monitor(bool on);
  // Op 147 with a record position and two values.
  int32_t control(const uint8_t* tx);
  // Monitor mode only: op 163 (high, low, 0x40), op 101 (high, low, n,
  // data), op 197 (high, low). Programming only clears bits.
  int32_t read_row(int32_t txlen, const uint8_t* tx, int32_t rxlen, uint8_t* rx);
  int32_t program_row(int32_t txlen, const uint8_t* tx);
  int32_t erase_page(int32_t txlen, const uint8_t* tx);

  bool in_monitor() const { return state_->monitor != 0; }

 private:
  void status_bytes(uint8_t type, uint8_t* out) const;

  mcu_state* state_;
  int slot_;
};

#endif
