#include "sim/injected_fault.h"

#include <cstdlib>
#include <map>
#include <sstream>

namespace {

const std::map<std::string, x3_command_kind> COMMANDS = {
    {"grab", x3_command_kind::grab},
    {"read", x3_command_kind::read},
    {"write", x3_command_kind::write},
    {"erase", x3_command_kind::erase},
    {"status", x3_command_kind::status},
    {"reboot", x3_command_kind::reboot},
    {"config", x3_command_kind::config},
    {"readings", x3_command_kind::readings},
    {"monitor-on", x3_command_kind::monitor_on},
    {"monitor-off", x3_command_kind::monitor_off},
    {"control", x3_command_kind::control},
    {"row-read", x3_command_kind::row_read},
    {"row-write", x3_command_kind::row_write},
    {"page-erase", x3_command_kind::page_erase},
};

// Reads a whole word as a number in `base` (0: decimal, 0x hex, 0 octal).
bool number(const std::string& text, int base, long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  *value = strtol(text.c_str(), &end, base);
  return *end == '\0';
}

bool hex_bytes(const std::string& text, std::vector<uint8_t>* bytes) {
  if (text.size() % 2 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    long byte = 0;
    if (!number(text.substr(i, 2), 16, &byte) || byte < 0) return false;
    bytes->push_back(static_cast<uint8_t>(byte));
  }
  return true;
}

}  // namespace

bool parse_fault(const std::string& text, injected_fault* fault, std::string* error) {
  std::string words = text;
  for (char& c : words) {
    if (c == ',') c = ' ';
  }
  std::istringstream in(words);
  x3_fault_rule* rule = nullptr;
  bool length_given = false;
  auto bad = [&](const std::string& why) {
    *error = why + " in fault \"" + text + "\"";
    return false;
  };
  for (std::string word; in >> word;) {
    const size_t equals = word.find('=');
    const std::string key = word.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : word.substr(equals + 1);
    const std::string command = key.substr(0, key.find('#'));
    long n = 0;
    if (key == "slot") {
      if (!number(value, 10, &n) || n < 0 || n > 31) return bad("bad slot");
      fault->slot = static_cast<int>(n);
    } else if (COMMANDS.count(command) && equals == std::string::npos) {
      if (rule) return bad("more than one command");
      long nth = 0;
      if (command != key && (!number(key.substr(command.size() + 1), 10, &nth) || nth < 1))
        return bad("bad count after #");
      fault->faults.rules.push_back({COMMANDS.at(command), static_cast<int>(nth),
                                    x3_fault_action::reply, 0, {}});
      rule = &fault->faults.rules.back();
    } else if (key == "reply" && rule) {
      if (!hex_bytes(value, &rule->reply)) return bad("bad reply bytes");
      if (!length_given) rule->length = static_cast<int32_t>(rule->reply.size());
    } else if (key == "length" && rule) {
      if (!number(value, 10, &n)) return bad("bad length");
      rule->length = static_cast<int32_t>(n);
      length_given = true;
    } else if (key == "drop" && rule && value.empty()) {
      rule->action = x3_fault_action::drop_connection;
    } else if (key == "power-cut" && rule && value.empty()) {
      rule->action = x3_fault_action::power_cut;
    } else if (key == "freeze" && rule && value.empty()) {
      rule->action = x3_fault_action::freeze;
    } else if (key == "erase-fails" && value.empty()) {
      fault->faults.erase_fails = true;
    } else if (key == "erase-busy") {
      if (!number(value, 10, &n) || n < 0) return bad("bad erase-busy count");
      fault->faults.erase_busy_polls = static_cast<int>(n);
    } else if (key == "swap") {
      // swap=N:T/T/...: record types reported from the Nth configuration on.
      const size_t colon = value.find(':');
      if (colon == std::string::npos || !number(value.substr(0, colon), 10, &n) || n < 1)
        return bad("bad swap");
      fault->faults.swap_at = static_cast<int>(n);
      std::istringstream types(value.substr(colon + 1));
      for (std::string type; std::getline(types, type, '/');) {
        long t = 0;
        if (!number(type, 10, &t) || t < 0 || t > 255) return bad("bad swap");
        fault->faults.swapped_types.push_back(static_cast<uint8_t>(t));
      }
    } else if (key == "stuck") {
      const size_t colon = value.find(':');
      long address = 0, mask = 0;
      if (colon == std::string::npos || !number(value.substr(0, colon), 0, &address) ||
          !number(value.substr(colon + 1), 16, &mask) || address < 0 ||
          address >= static_cast<long>(X3_FLASH_SIZE) || mask < 0 || mask > 0xFF)
        return bad("bad stuck bits");
      fault->faults.stuck_bits[static_cast<uint32_t>(address)] |= static_cast<uint8_t>(mask);
    } else {
      return bad("unknown word \"" + word + "\"");
    }
  }
  if (fault->slot < 0) return bad("no slot");
  return true;
}

void add_faults(const x3_card_faults& added, x3_card_faults* faults) {
  faults->erase_busy_polls = std::max(faults->erase_busy_polls, added.erase_busy_polls);
  faults->erase_fails = faults->erase_fails || added.erase_fails;
  if (added.swap_at) {
    faults->swap_at = added.swap_at;
    faults->swapped_types = added.swapped_types;
  }
  for (const auto& [address, mask] : added.stuck_bits) faults->stuck_bits[address] |= mask;
  faults->rules.insert(faults->rules.end(), added.rules.begin(), added.rules.end());
}
