// linecard: a field engineer's access to the microcontroller of one X3
// line card through the switch's scan service.
//
//   linecard HOST SLOT COMMAND [ARGS]
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/crc32.h"
#include "common/exception.h"
#include "common/whole_file.h"
#include "flashing/card_access.h"
#include "flashing/flash_layout.h"
#include "flashing/flash_sequence.h"
#include "history/upgrade_history.h"
#include "serial/vorn_serial.h"
#include "tools/operator_stop.h"

namespace {

const char* const STRING_NAMES[Vorn_Serial::CONFIG_STRINGS] = {"board", "serial number",
                                                               "hardware", "firmware"};

struct usage_error {
  std::string message;
};

// A signal stopped the tool while it held the scan service.
struct stopped_holding {
  bool released;
};

int number(const std::string& text, int low, int high) {
  char* end = nullptr;
  const long value = strtol(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || value < low || value > high)
    throw usage_error{"'" + text + "' is not a number from " + std::to_string(low) + " to " +
                      std::to_string(high)};
  return static_cast<int>(value);
}

// Holds the scan service for client J5_SCAN_ID_LINECARD while `work` runs, so that
// no upgrade can start on the card half-way through. Gives it back on
// every way out, a signal's stop included.
void holding_service(Vorn_Serial& card, const std::function<void()>& work) {
  if (!card.grab())
    throw exception_t("cannot take the scan service at %s (not reachable, or in use)",
                      card.host_name());
  try {
    work();
  } catch (const scan_stopped_t&) {
    throw stopped_holding{card.release() != 0};
  } catch (...) {
    card.release();
    throw;
  }
  if (!card.release()) throw exception_t("the scan service was not released");
}

void print_info(const Vorn_Serial& card) {
  for (int k = 0; k < Vorn_Serial::CONFIG_STRINGS; k++)
    printf("%-14s %s\n", STRING_NAMES[k], card.config_strings[k]);
}

// One record in words: its fields by the layout of its type, readings
// with the units the type implies.
void print_record(int type, const void* info) {
  switch (type) {
    case 1: {
      auto r = static_cast<const vorn_record1_t*>(info);
      printf("value1 %u  value2 %u  value3 %u  total %u  value4 %u  value5 %u\n", r->value1,
             r->value2, r->value3, r->total, r->value4, r->value5);
      break;
    }
    case 2: {
      auto r = static_cast<const vorn_record2_t*>(info);
      printf("%.2f V  %.2f V  value1 %u\n", r->reading1, r->reading2, r->value1);
      break;
    }
    case 6: {
      auto r = static_cast<const vorn_record6_t*>(info);
      const uint32_t* v = &r->value1;
      for (int k = 0; k < 12; k++) printf("%s%u", k ? " " : "values ", v[k]);
      printf("\n");
      break;
    }
    case 13: {
      auto r = static_cast<const vorn_record13_t*>(info);
      printf("value1 %u\n", r->value1);
      break;
    }
    case 14: case 15: case 16: {
      auto r = static_cast<const vorn_scaled_record_t*>(info);
      printf("%.3f V  %.3f V\n", r->reading1, r->reading2);
      break;
    }
    case 17: {
      auto r = static_cast<const vorn_record17_t*>(info);
      printf("sensor %u  %.2f C\n", r->value1, r->reading);
      break;
    }
    case 18: {
      auto r = static_cast<const vorn_record18_t*>(info);
      printf("value1 %u  value2 %u\n", r->value1, r->value2);
      break;
    }
    case 20: {
      auto r = static_cast<const vorn_record20_t*>(info);
      printf("flags seen 0x%02x  %.3f A\n", r->flags, r->reading);
      break;
    }
    case 32: case 33: {
      auto r = static_cast<const vorn_record32_t*>(info);
      printf("value1 %u  flags seen 0x%02x  value2 %u\n", r->value1, r->flags, r->value2);
      break;
    }
    case 34: {
      auto r = static_cast<const vorn_record34_t*>(info);
      printf("value1 %u  value2 %u\n", r->value1, r->value2);
      printf("      entry    count_a    count_b  sum_a  sum_b  sum_c  sum_d  flags  bits 0-7       last\n");
      for (int j = 0; j < VORN_RECORD34_ENTRIES; j++) {
        const vorn_record34_entry_t& e = r->entries[j];
        printf("      %5d %10u %10u %6u %6u %6u %6u   0x%02x ", j, e.count_a, e.count_b, e.sum_a,
               e.sum_b, e.sum_c, e.sum_d, e.flags);
        for (int b = 0; b < 8; b++) printf("%s%u", b ? "," : " ", e.bit_count[b]);
        printf(" %6u\n", e.last);
      }
      break;
    }
    case 35: {
      auto r = static_cast<const vorn_record35_t*>(info);
      printf("value1 %u  value2 %u  value3 %u  value4 %u  %.2f V  value5 %u\n", r->value1,
             r->value2, r->value3, r->value4, r->reading, r->value5);
      break;
    }
    default:
      printf("(no record)\n");
  }
}

void print_records(const Vorn_Serial& card) {
  if (!card.types.next) {
    printf("no records (the card reports none, or is absent)\n");
    return;
  }
  printf("pos  type  fields\n");
  for (const type_node* node = card.types.next; node; node = node->next) {
    if (!node->info) continue;
    printf("%3d  %4d  ", *static_cast<const int*>(node->info), node->type);
    print_record(node->type, node->info);
  }
}

// The image words of a 9S08 S-record file, released on every way out.
class mcu_image {
 public:
  mcu_image(Vorn_Serial& card, const std::string& path) : card_(card), words_(card.new_9s08_buf()) {
    try {
      card_.read_9s08_s19(words_, path.c_str());
    } catch (...) {
      card_.free_9s08_buf(words_);
      throw;
    }
  }
  ~mcu_image() { card_.free_9s08_buf(words_); }
  mcu_image(const mcu_image&) = delete;
  mcu_image& operator=(const mcu_image&) = delete;

  const uint32_t* words() const { return words_; }
  // Rows of the programmed area that hold image data.
  int rows_with_data() const {
    int rows = 0;
    for (int row = VORN_FLASH_START; row < VORN_PROGRAM_END; row += VORN_ROW_SIZE) {
      for (int k = 0; k < VORN_ROW_SIZE; k++) {
        if (words_[row + k] != VORN_NO_DATA) {
          rows++;
          break;
        }
      }
    }
    return rows;
  }

 private:
  Vorn_Serial& card_;
  uint32_t* words_;
};

// Runs `work` in monitor mode, leaving it again also after a failure.
void in_monitor_mode(Vorn_Serial& card, const std::function<void()>& work) {
  card.enter_monitor();
  try {
    work();
  } catch (...) {
    try {
      card.leave_monitor();
    } catch (const exception_t&) {
    }
    throw;
  }
  card.leave_monitor();
}

void mcu_program(Vorn_Serial& card, const std::string& path) {
  const mcu_image image(card, path);
  in_monitor_mode(card, [&] {
    printf("erasing pages 0x%04X-0x%04X (%d pages)\n", VORN_FLASH_START, VORN_ERASE_END - 1,
           (VORN_ERASE_END - VORN_FLASH_START) / VORN_PAGE_SIZE);
    fflush(stdout);
    card.erase_all();
    printf("programming rows 0x%04X-0x%04X (%d rows with data)\n", VORN_FLASH_START,
           VORN_PROGRAM_END - 1, image.rows_with_data());
    fflush(stdout);
    card.program_all(image.words());
    printf("verifying rows 0x%04X-0x%04X\n", VORN_FLASH_START, VORN_PROGRAM_END - 1);
    fflush(stdout);
    card.verify_all(image.words());
  });
  printf("microcontroller programmed from %s\n", path.c_str());
}

void mcu_verify(Vorn_Serial& card, const std::string& path) {
  const mcu_image image(card, path);
  in_monitor_mode(card, [&] { card.verify_all(image.words()); });
  printf("microcontroller flash matches %s (%d rows)\n", path.c_str(), image.rows_with_data());
}

// Far more than any X3 firmware image (the card's whole flash is 1 MiB),
// so that a device or an endless file given by mistake is refused.
const size_t MAX_IMAGE_FILE = 16 << 20;

// The whole of an image file, at most MAX_IMAGE_FILE bytes.
std::vector<uint8_t> read_image_file(const std::string& path) {
  std::vector<uint8_t> bytes;
  const whole_file_status status = read_whole_file(path.c_str(), MAX_IMAGE_FILE, &bytes);
  if (status == whole_file_status::too_large)
    throw exception_t("%s is larger than %zu MiB, too large for an X3 firmware image",
                      path.c_str(), MAX_IMAGE_FILE >> 20);
  if (status != whole_file_status::read) throw exception_t("cannot read %s", path.c_str());
  return bytes;
}

int version(const std::string& path) {
  std::vector<uint8_t> image = read_image_file(path);
  if (image.empty()) throw exception_t("%s is empty", path.c_str());
  // The version text is at most the rest of the image.
  std::vector<char> text(image.size() + 1, '\0');
  j5_scan_client_t reader("localhost", J5_SCAN_ID_LINECARD);
  reader.find_version(image.data(), static_cast<int32_t>(image.size()), text.data());
  if (text[0] == '\0') {
    printf("no version stamp in %s\n", path.c_str());
    return 1;
  }
  char type[J5_SCAN_TEXT_SIZE], date[J5_SCAN_TEXT_SIZE];
  printf("%s\n", text.data());
  printf("type: %s\n", reader.get_type(text.data(), type));
  printf("date: %s\n", reader.get_date(text.data(), date));
  return 0;
}

// What the card's two banks hold.
struct card_banks {
  uint8_t generation[2];  // the generation bytes as read
  uint32_t crc[2];        // each bank's CRC-32 as crc_before_generation gives it
  int starts;             // the bank the card starts, -1 when neither has a generation
};

const uint32_t BANK_BASE[2] = {BANK0_BASE, BANK1_BASE};

// The bank's CRC-32 as x3image info and the upgrade history give it for
// the image programmed into it: its 512 KiB with the generation byte,
// written after the image, read as still erased; for bank 0 also its last
// sector, which is bank 1's first and holds bank 1's image once that is
// programmed (an image that keeps out of it, as x3image check asks, leaves
// it erased). `flash` is indexed by card address.
uint32_t crc_before_generation(const std::vector<uint8_t>& flash, uint32_t base) {
  std::vector<uint8_t> bank(flash.begin() + base, flash.begin() + base + BANK_SIZE);
  bank[GENERATION_OFFSET] = ERASED;
  if (base == BANK0_BASE) std::fill(bank.begin() + SHARED_SECTOR_OFFSET, bank.end(), ERASED);
  return crc32(bank.data(), bank.size());
}

// Takes the card's flash the way the upgrade does and reads both banks,
// a row at a time, within one hold of the scan service. The
// microcontroller leaves its monitor mode first: there the card would take
// the two bytes of the grab for a page erase of the microcontroller's
// flash.
card_banks read_banks(Vorn_Serial& card, int slot) {
  std::vector<uint8_t> flash(BANK1_BASE + BANK_SIZE);
  holding_service(card, [&] {
    card.leave_monitor();
    if (grab_flash(card, slot) != 0)
      throw exception_t("slot %d: the card did not hand over its flash", slot);
    for (uint32_t address = BANK0_BASE; address < flash.size(); address += ROW_SIZE) {
      if (flash_read(card, slot, address, ROW_SIZE, &flash[address]) != 0)
        throw exception_t("slot %d: reading the card's flash at 0x%05X failed", slot, address);
    }
  });
  card_banks banks;
  for (int b = 0; b < 2; b++) {
    banks.generation[b] = flash[BANK_BASE[b] + GENERATION_OFFSET];
    banks.crc[b] = crc_before_generation(flash, BANK_BASE[b]);
  }
  // The upgrade programs the bank the card does not start.
  banks.starts = -1;
  if (has_generation(banks.generation[0]) || has_generation(banks.generation[1]))
    banks.starts = choose_bank(banks.generation[0], banks.generation[1]).bank_base == BANK0_BASE ? 1 : 0;
  return banks;
}

std::string generation_text(uint8_t value) {
  if (has_generation(value)) return std::to_string(value);
  return value == ERASED ? "none" : "none (0x00)";
}

// " by alice (10.0.0.5)", " by alice", " from 10.0.0.5" or "".
std::string who_text(const requester& who) {
  std::string text = who.user.empty() ? "" : " by " + who.user;
  if (!who.address.empty()) text += who.user.empty() ? " from " + who.address : " (" + who.address + ")";
  return text;
}

// Where the card differs from the slot's last re-flash in the history,
// "" where it does not: that bank should be the one the card starts, with
// the generation written then and the image's CRC-32.
std::string differences(const card_banks& banks, const slot_result& flashed, uint32_t crc) {
  const int b = flashed.bank;
  if (b != 0 && b != 1) return "the history names no bank";
  std::string found;
  const auto add = [&](const std::string& what) { found += (found.empty() ? "" : "; ") + what; };
  if (banks.starts != b)
    add(banks.starts < 0 ? "the card starts neither bank" : "the card starts bank " + std::to_string(banks.starts));
  const int generation = has_generation(banks.generation[b]) ? banks.generation[b] : -1;
  if (generation != flashed.generation)
    add("bank " + std::to_string(b) + " has generation " + generation_text(banks.generation[b]));
  if (banks.crc[b] != crc) add("bank " + std::to_string(b) + "'s crc32 is " + crc32_text(banks.crc[b]));
  return found;
}

// What the history says of the slot, beside what the card holds. The
// history lives on the switch's controller; elsewhere X3_HISTORY names a
// copy.
void compare_with_history(const card_banks& banks, int slot) {
  const std::string path = history_path_to_read();
  const upgrade_history history = read_history(path);
  if (!history.error.empty()) {
    printf("history: %s\n", history.error.c_str());
    return;
  }
  if (history.skipped)
    printf("history: %zu line(s) of %s are not records, skipped\n", history.skipped, path.c_str());
  const std::vector<slot_status> statuses = slot_statuses(history);
  const auto status = std::find_if(statuses.begin(), statuses.end(),
                                   [slot](const slot_status& s) { return s.slot == slot; });
  if (status == statuses.end()) {
    if (access(path.c_str(), F_OK) != 0 && errno == ENOENT)
      printf("history: no record of slot %d: there is no %s\n"
             "(the history is kept on the switch's controller; %s names a copy)\n", slot,
             path.c_str(), HISTORY_VARIABLE);
    else
      printf("history: no record of slot %d in %s\n", slot, path.c_str());
    return;
  }
  if (status->flashed) {
    const slot_result& flashed = *status->flashed_result;
    const uint32_t crc = status->flashed->image.crc;
    const std::string generation =
        flashed.generation < 0 ? "no generation" : "generation " + std::to_string(flashed.generation);
    const std::string found = differences(banks, flashed, crc);
    printf("history: slot %d re-flashed %s%s: bank %d, %s, crc32 %s: %s\n", slot,
           status->flashed->end_time.c_str(), who_text(status->flashed->who).c_str(), flashed.bank,
           generation.c_str(), crc32_text(crc).c_str(), found.empty() ? "matches" : ("differs: " + found).c_str());
  } else {
    printf("history: no run has re-flashed slot %d\n", slot);
  }
  if (status->last_result == RESULT_REFLASHED) return;
  std::string how = "did not attempt it";
  if (status->last_result == RESULT_INTERRUPTED) how = "was interrupted: it has no end record";
  if (status->last_result == RESULT_FAILED) {
    how = status->last_step.empty() ? "failed" : "failed in " + status->last_step;
    if (!status->last_message.empty()) how += ": " + status->last_message;
  }
  printf("history: the last run for slot %d (begun %s%s) %s\n", slot, status->last->time.c_str(),
         who_text(status->last->who).c_str(), how.c_str());
}

int show_banks(Vorn_Serial& card, int slot, const std::vector<std::string>&) {
  const card_banks banks = read_banks(card, slot);
  for (int b = 0; b < 2; b++)
    printf("bank %d (%s): generation %s, crc32 %s%s\n", b, offset_text(BANK_BASE[b]).c_str(),
           generation_text(banks.generation[b]).c_str(), crc32_text(banks.crc[b]).c_str(),
           banks.starts == b ? "  <- starts" : "");
  if (banks.starts < 0) printf("neither bank has a generation: the card has no firmware to start\n");
  printf("crc32: each bank's 512 KiB with its generation byte read as 0x%02X, and bank 0's last\n"
         "sector (0x%05X-0x%05X, bank 1's first) as well, so that it equals the crc32 that\n"
         "x3image info and the upgrade history give for the image programmed there\n",
         ERASED, BANK1_BASE, BANK0_BASE + BANK_SIZE - 1);
  compare_with_history(banks, slot);
  return 0;
}

// What a command on a card is given: the card (not yet reached), its
// slot, and the arguments after the command's name, their count checked.
using card_command_fn = int (*)(Vorn_Serial& card, int slot, const std::vector<std::string>& args);

int show_info(Vorn_Serial& card, int slot, const std::vector<std::string>&) {
  bool well_formed = false;
  holding_service(card, [&] { well_formed = card.probe(); });
  if (!well_formed) {
    printf("slot %d: no configuration (no card, or a card that does not answer)\n", slot);
    return 1;
  }
  print_info(card);
  return 0;
}

int show_status(Vorn_Serial& card, int, const std::vector<std::string>&) {
  holding_service(card, [&] { card.config(); });
  print_info(card);
  print_records(card);
  return 0;
}

int watch_records(Vorn_Serial& card, int, const std::vector<std::string>& args) {
  const int seconds = number(args[0], 1, 3600);
  const int count = args.size() == 2 ? number(args[1], 1, 1000000) : 0;
  holding_service(card, [&] { card.config(); });
  print_info(card);
  for (int reading = 1; count == 0 || reading <= count; reading++) {
    printf("\n-- reading %d\n", reading);
    print_records(card);
    fflush(stdout);
    if (count && reading == count) break;
    sleep(seconds);
    // The service is held only while reading, so upgrades can go on.
    holding_service(card, [&] { card.read(); });
  }
  return 0;
}

int write_control_bytes(Vorn_Serial& card, int, const std::vector<std::string>& args) {
  const int type = number(args[0], 0, 255), index = number(args[1], 0, 255);
  const int value1 = number(args[2], 0, 255), value2 = number(args[3], 0, 255);
  holding_service(card, [&] {
    card.config();
    card.write_control(type, index, value1, value2);
  });
  printf("control bytes %d %d written for type %d record %d\n", value1, value2, type, index);
  return 0;
}

int restart(Vorn_Serial& card, int slot, const std::vector<std::string>&) {
  holding_service(card, [&] { card.reboot(); });
  printf("slot %d restarted\n", slot);
  return 0;
}

int switch_monitor(Vorn_Serial& card, int slot, const std::vector<std::string>& args) {
  if (args[0] != "on" && args[0] != "off") throw usage_error{"monitor takes on or off"};
  holding_service(card, [&] { args[0] == "on" ? card.enter_monitor() : card.leave_monitor(); });
  printf("slot %d monitor mode %s\n", slot, args[0].c_str());
  return 0;
}

int program_mcu(Vorn_Serial& card, int, const std::vector<std::string>& args) {
  holding_service(card, [&] { mcu_program(card, args[0]); });
  return 0;
}

int verify_mcu(Vorn_Serial& card, int, const std::vector<std::string>& args) {
  holding_service(card, [&] { mcu_verify(card, args[0]); });
  return 0;
}

// One command: how the usage text shows it and what runs it. A command
// reads either a card in the slot (on_card) or one file named by its one
// argument (on_file).
struct command_t {
  const char* name;
  const char* arguments;
  // Lines after the first are indented under it.
  const char* help;
  size_t fewest, most;  // how many arguments it takes
  card_command_fn on_card;
  int (*on_file)(const std::string& path);
};

const command_t COMMANDS[] = {
    {"info", "", "board name, serial number, hardware and firmware", 0, 0, show_info, nullptr},
    {"status", "", "every configuration and status record", 0, 0, show_status, nullptr},
    {"watch", "SECONDS [COUNT]", "read the records again every SECONDS (COUNT times)", 1, 2,
     watch_records, nullptr},
    {"control", "TYPE INDEX V1 V2", "write two control bytes for a record", 4, 4,
     write_control_bytes, nullptr},
    {"banks", "",
     "each flash bank's generation and CRC-32, the bank\n"
     "the card starts, compared with the upgrade history",
     0, 0, show_banks, nullptr},
    {"reboot", "", "restart the card", 0, 0, restart, nullptr},
    {"monitor", "on|off", "switch the microcontroller's monitor mode", 1, 1, switch_monitor,
     nullptr},
    {"mcu-program", "FILE.s19", "erase, program and verify the microcontroller", 1, 1,
     program_mcu, nullptr},
    {"mcu-verify", "FILE.s19", "compare the microcontroller's flash with a file", 1, 1,
     verify_mcu, nullptr},
    {"version", "IMAGE.bin",
     "the version stamp in an X3 firmware image\n(also: linecard version IMAGE.bin)", 1, 1,
     nullptr, version},
};

const command_t* find_command(const std::string& name) {
  for (const command_t& command : COMMANDS) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

// In the usage text each command with its arguments is padded to this
// width, so that all help lines start in one column.
const size_t SHOWN_WIDTH = 24;

std::string usage_text() {
  std::string text =
      "usage: linecard HOST SLOT COMMAND [ARGS]\n"
      "\n"
      "Talks to the microcontroller of the X3 line card in SLOT (1-31) through\n"
      "the scan service (TCP port 1971) of the switch at HOST.\n"
      "\n"
      "commands:\n";
  for (const command_t& command : COMMANDS) {
    std::string shown = command.name;
    if (*command.arguments) shown = shown + " " + command.arguments;
    shown.resize(std::max(shown.size(), SHOWN_WIDTH), ' ');
    const std::string indent(2 + SHOWN_WIDTH + 2, ' ');
    std::string help = command.help;
    for (size_t at = help.find('\n'); at != std::string::npos; at = help.find('\n', at + 1))
      help.insert(at + 1, indent);
    text += "  " + shown + "  " + help + "\n";
  }
  return text +
         "\n"
         "banks reads the upgrade history from $" + std::string(HISTORY_VARIABLE) + ", by default\n" +
         HISTORY_DEFAULT + " (on the switch's controller).\n"
         "\n"
         "Exit status 0 on success, 1 on any failure; banks exits 0 once it has\n"
         "read the card, whatever the history says. Ctrl-C, SIGTERM or SIGHUP\n"
         "stop a command after the current scan request and give the scan\n"
         "service back (exit status 1).\n";
}

void check_count(const command_t& command, const std::vector<std::string>& args) {
  if (args.size() >= command.fewest && args.size() <= command.most) return;
  const std::string name = command.name;
  if (command.fewest != command.most) throw usage_error{name + " takes " + command.arguments};
  throw usage_error{name + " takes " + std::to_string(command.fewest) + " argument(s)"};
}

int run(const std::vector<std::string>& args) {
  if (args.size() == 2 && args[0] == "version") return version(args[1]);
  if (args.size() < 3) throw usage_error{"HOST, SLOT and COMMAND are needed"};
  const command_t* command = find_command(args[2]);
  const std::vector<std::string> rest(args.begin() + 3, args.end());
  if (command && command->on_file) {
    check_count(*command, rest);
    return command->on_file(rest[0]);
  }
  const int slot = number(args[1], 1, 31);
  if (!command) throw usage_error{"unknown command " + args[2]};
  check_count(*command, rest);
  Vorn_Serial card(args[0].c_str(), J5_SCAN_ID_LINECARD, slot);
  stop_on_signals();
  card.stop_when(&stop_signal);
  return command->on_card(card, slot, rest);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    fputs(usage_text().c_str(), stdout);
    return 0;
  }
  try {
    return run(args);
  } catch (const usage_error& e) {
    fprintf(stderr, "linecard: %s\n(linecard --help lists the commands)\n", e.message.c_str());
  } catch (const scan_stopped_t&) {
    fflush(stdout);
    fprintf(stderr, "linecard: stopped by %s\n", stop_signal_name());
  } catch (const stopped_holding& stop) {
    fflush(stdout);
    fprintf(stderr, "linecard: stopped by %s; the scan service %s\n", stop_signal_name(),
            stop.released ? "was released" : "was not released");
  } catch (const exception_t& e) {
    // Some of the card's failure texts end in a line feed of their own.
    std::string message = e.message;
    if (!message.empty() && message.back() == '\n') message.pop_back();
    fflush(stdout);
    fprintf(stderr, "linecard: %s\n", message.c_str());
  }
  return 1;
}
