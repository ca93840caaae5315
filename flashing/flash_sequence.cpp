#include "flashing/flash_sequence.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "flashing/card_access.h"
#include "flashing/s19_loader.h"

uint32_t bank_base;
uint32_t bootval;
std::function<void(uint32_t done, uint32_t total)> on_step_units;

namespace {

// What the last failing step wrote to standard error, for the history.
char failure_message[256];

// A step's failure message: to standard error, and kept.
__attribute__((format(printf, 1, 2))) void report_failure(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  va_start(args, format);
  vsnprintf(failure_message, sizeof failure_message, format, args);
  va_end(args);
  size_t n = strlen(failure_message);
  while (n > 0 && (failure_message[n - 1] == '\n' || failure_message[n - 1] == ' ')) failure_message[--n] = '\0';
}

const uint32_t LAST_GENERATION = 254;

// A sector erase takes the card about a second; a card that still reports
// "busy" after this long is not going to finish.
const int ERASE_TIMEOUT_SECONDS = 60;

bool row_is_blank(const uint32_t* row, uint32_t words) {
  for (uint32_t k = 0; k < words; k++) {
    if (row[k] != NO_DATA) return false;
  }
  return true;
}

// A row whose bytes would all be 0xFF needs no programming: the erase left
// it that way.
bool row_writes_nothing(const uint32_t* row) {
  for (uint32_t k = 0; k < ROW_SIZE; k++) {
    if (row[k] != NO_DATA && row[k] != ERASED) return false;
  }
  return true;
}

// How many of the image's pieces of `size` words `counts` takes, for the
// units a long step reports; 0 when nobody listens.
uint32_t units_total(const uint32_t* image, uint32_t size, bool (*counts)(const uint32_t*, uint32_t)) {
  if (!on_step_units) return 0;
  uint32_t total = 0;
  for (uint32_t at = 0; at < FLASH_IMAGE_WORDS; at += size) total += counts(image + at, size);
  return total;
}

bool has_data(const uint32_t* piece, uint32_t words) { return !row_is_blank(piece, words); }
bool row_to_write(const uint32_t* row, uint32_t) { return !row_writes_nothing(row); }

void report_units(uint32_t done, uint32_t total) {
  if (on_step_units) on_step_units(done, total);
}

double seconds_now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// Runs one card command on its own; false when the exchange failed.
bool run_card_command(j5_scan_client_t& client, int slot, const uint8_t* tx, int txlen,
                      uint8_t* rx, int rxlen, int32_t* reply_length) {
  j5_scan_command_t c = {J5_SCAN_OP_CARD_COMMAND, slot, txlen, rxlen, tx, rx, 0};
  if (!client.execute(1, &c)) return false;
  *reply_length = c.rxcount;
  return true;
}

int erase_sector(j5_scan_client_t& client, int slot, uint32_t address) {
  uint8_t command[X3_ADDRESSED_COMMAND_SIZE];
  int32_t length = 0;
  x3_command(X3_ERASE, address, command);
  if (!run_card_command(client, slot, command, sizeof command, nullptr, 0, &length) ||
      length != 0) {
    report_failure("Erase failed\n");
    return -1;
  }
  // Poll the erase status until the card says done or failed.
  x3_command(X3_STATUS, address, command);
  const double deadline = seconds_now() + ERASE_TIMEOUT_SECONDS;
  for (;;) {
    uint8_t status = 0;
    if (!run_card_command(client, slot, command, sizeof command, &status, 1, &length) ||
        length != 1) {
      report_failure("Erase failed\n");
      return -1;
    }
    if (status == X3_PASSED) return 0;
    if (status == X3_FAILED) {
      report_failure("Erase failed - flash error\n");
      return -1;
    }
    if (seconds_now() > deadline) {
      report_failure("Erase failed\n");
      return -1;
    }
  }
}

// The steps with one signature, so that flash_card can walk them in order.
struct step_t {
  const char* name;
  int (*run)(j5_scan_client_t& client, int slot, const uint32_t* image);
};

const step_t STEPS[] = {
    {"grab_flash", [](j5_scan_client_t& c, int slot, const uint32_t*) { return grab_flash(c, slot); }},
    {"select_bank", [](j5_scan_client_t& c, int slot, const uint32_t*) { return select_bank(c, slot); }},
    {"erase_flash", erase_flash},
    {"program_flash", program_flash},
    {"verify_flash", verify_flash},
    {"write_bootval", [](j5_scan_client_t& c, int slot, const uint32_t*) { return write_bootval(c, slot); }},
    {"reboot_card", [](j5_scan_client_t& c, int slot, const uint32_t*) { return reboot_card(c, slot); }},
};

}  // namespace

int flash_card(j5_scan_client_t& client, int slot, const uint32_t* image,
               const std::function<void(const char* step)>& before_step) {
  for (const step_t& step : STEPS) {
    if (before_step) before_step(step.name);
    failure_message[0] = '\0';
    if (step.run(client, slot, image) != 0) return -1;
  }
  return 0;
}

const char* last_failure_message() { return failure_message; }

bool has_generation(uint8_t value) { return value != ERASED && value != 0; }

bank_choice choose_bank(uint8_t lo_val, uint8_t hi_val) {
  const uint32_t L = has_generation(lo_val) ? lo_val : 0;
  const uint32_t H = has_generation(hi_val) ? hi_val : 0;
  if (L == 0 && H == 0) return {BANK0_BASE, 1};
  if (L == LAST_GENERATION && H != 1) return {BANK1_BASE, 1};
  if (H == LAST_GENERATION && L != 1) return {BANK0_BASE, 1};
  if (L == LAST_GENERATION && H == 1) return {BANK0_BASE, 2};
  if (H == LAST_GENERATION && L == 1) return {BANK1_BASE, 2};
  if (L >= H) return {BANK1_BASE, L + 1};
  return {BANK0_BASE, H + 1};
}

int grab_flash(j5_scan_client_t& client, int slot) {
  const uint8_t command[2] = {X3_GRAB, X3_GRAB};
  uint8_t reply = 0;
  int32_t length = 0;
  if (!run_card_command(client, slot, command, sizeof command, &reply, 1, &length) ||
      length != 1) {
    report_failure("Error grabbing flash.\n");
    return -1;
  }
  if (reply != 0x00) {
    report_failure("Error2 grabbing flash.\n");
    return -1;
  }
  return 0;
}

int select_bank(j5_scan_client_t& client, int slot) {
  uint8_t lo_val = 0, hi_val = 0;
  if (flash_read(client, slot, BANK0_BASE + GENERATION_OFFSET, 1, &lo_val) != 0) {
    report_failure("error reading lo_val.\n");
    return -1;
  }
  if (flash_read(client, slot, BANK1_BASE + GENERATION_OFFSET, 1, &hi_val) != 0) {
    report_failure("error reading hi_val.\n");
    return -1;
  }
  const bank_choice choice = choose_bank(lo_val, hi_val);
  bank_base = choice.bank_base;
  bootval = choice.bootval;
  return 0;
}

int erase_flash(j5_scan_client_t& client, int slot, const uint32_t* image) {
  const uint32_t total = units_total(image, SECTOR_SIZE, has_data);
  uint32_t done = 0;
  report_units(done, total);
  for (uint32_t s = 0; s < FLASH_IMAGE_WORDS; s += SECTOR_SIZE) {
    if (row_is_blank(image + s, SECTOR_SIZE)) continue;
    fflush(stdout);
    if (erase_sector(client, slot, bank_base + s) != 0) return -1;
    report_units(++done, total);
  }
  return 0;
}

int program_flash(j5_scan_client_t& client, int slot, const uint32_t* image) {
  uint8_t command[X3_TRANSFER_SIZE + ROW_SIZE];
  const uint32_t total = units_total(image, ROW_SIZE, row_to_write);
  uint32_t done = 0;
  report_units(done, total);
  for (uint32_t r = 0; r < FLASH_IMAGE_WORDS; r += ROW_SIZE) {
    const uint32_t* row = image + r;
    if (row_writes_nothing(row)) continue;
    x3_command(X3_WRITE, bank_base + r, command);
    command[6] = ROW_SIZE & 0xFF;
    for (uint32_t k = 0; k < ROW_SIZE; k++) command[X3_TRANSFER_SIZE + k] = row[k] & 0xFF;
    fflush(stdout);
    // Cleared before every row, so an empty reply shows as 0.
    uint8_t reply = 0;
    int32_t length = 0;
    if (!run_card_command(client, slot, command, sizeof command, &reply, 1, &length)) {
      report_failure("Program failed1 - %d        \n", 0);
      return -1;
    }
    if (length != 1 || reply != X3_PASSED) {
      report_failure("Program failed2 - %i %d      \n", length, static_cast<int8_t>(reply));
      return -1;
    }
    report_units(++done, total);
  }
  return 0;
}

int verify_flash(j5_scan_client_t& client, int slot, const uint32_t* image) {
  uint8_t flash[ROW_SIZE];
  const uint32_t total = units_total(image, ROW_SIZE, has_data);
  uint32_t done = 0;
  report_units(done, total);
  for (uint32_t r = 0; r < FLASH_IMAGE_WORDS; r += ROW_SIZE) {
    const uint32_t* row = image + r;
    if (row_is_blank(row, ROW_SIZE)) continue;
    const uint32_t address = bank_base + r;
    fflush(stdout);
    if (flash_read(client, slot, address, ROW_SIZE, flash) != 0) return -1;
    for (uint32_t k = 0; k < ROW_SIZE; k++) {
      const uint8_t expected = row[k] & 0xFF;
      if (expected != flash[k]) {
        report_failure("Verify error at address 0x%x\n", address + k);
        printf("buf: %x != flash: %x\n", expected, flash[k]);
        return -1;
      }
    }
    report_units(++done, total);
  }
  return 0;
}

int write_bootval(j5_scan_client_t& client, int slot) {
  if (!image_above_64k) return 0;
  const uint32_t address = bank_base + GENERATION_OFFSET;
  const uint8_t generation = bootval & 0xFF;
  if (flash_write(client, slot, address, 1, &generation) != 0) {
    report_failure("Error programming bootval.\n");
    return -1;
  }
  uint8_t read_back = 0;
  if (flash_read(client, slot, address, 1, &read_back) != 0) {
    report_failure("Error reading bootval.\n");
    return -1;
  }
  if (read_back != generation) {
    report_failure("Bootval verify error! (%02X != %02X)\n", read_back, generation);
    return -1;
  }
  return 0;
}

int reboot_card(j5_scan_client_t& client, int slot) {
  const uint8_t restart[3] = {0x01, 0x01, 0x01};
  j5_scan_command_t c = {J5_SCAN_OP_CONTROL, slot, sizeof restart, 0, restart, nullptr, 0};
  if (!client.execute(1, &c) || c.rxcount != 0) {
    report_failure("Error rebooting card.\n");
    return -1;
  }
  return 0;
}
