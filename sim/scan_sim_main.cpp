// scan_sim: a stand-in for the switch's scan service. It serves the scan
// protocol through the real scan server with X3 card models in the chosen
// slots, keeps their flash in a state directory, and injects faults.
#include <arpa/inet.h>
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "common/exception.h"
#include "scan/j5_scan_server.h"
#include "scan/slot_list.h"
#include "sim/backplane.h"
#include "sim/card_state_file.h"
#include "common/crc32.h"
#include "sim/injected_fault.h"
#include "sim/sim_scan_server.h"

namespace {

const char USAGE[] =
    "usage: scan_sim [--cards LIST] [--state DIR] [--listen ADDR] [--port N]\n"
    "                [--idle-timeout SECONDS] [--fault TEXT]... [--faults FILE]\n"
    "       scan_sim show --state DIR [--json]\n"
    "\n"
    "Serves the scan protocol with X3 card models until it is stopped.\n"
    "  --cards LIST   occupied slots, e.g. 1-4,7 (default: the slots with a\n"
    "                 state file in DIR, or 1-4)\n"
    "  --state DIR    keep each card's flash in DIR/slotNN.x3 (created blank\n"
    "                 when missing); without it the cards live in memory\n"
    "  --listen ADDR  IPv4 address to listen on (default 127.0.0.1)\n"
    "  --port N       TCP port (default 1971)\n"
    "  --idle-timeout SECONDS\n"
    "                 drop a connection that sends or takes nothing for that\n"
    "                 long (default %d), so a stalled client cannot keep the\n"
    "                 service from the others\n"
    "  --fault TEXT   inject a fault, e.g. 'slot=3 write#2 reply=46'\n"
    "  --faults FILE  inject the faults in FILE, one per line (# comments)\n"
    "\n"
    "show prints each card's generation bytes, the bank a restart would\n"
    "start with its CRC-32, and the boot count.\n";

[[noreturn]] void usage_error(const std::string& problem) {
  fprintf(stderr, "scan_sim: %s\n(scan_sim --help shows the options)\n", problem.c_str());
  exit(1);
}

void add_fault(const std::string& text, std::vector<injected_fault>* faults) {
  injected_fault fault;
  std::string error;
  if (!parse_fault(text, &fault, &error)) usage_error(error);
  faults->push_back(fault);
}

void add_fault_file(const std::string& path, std::vector<injected_fault>* faults) {
  std::ifstream file(path);
  if (!file) usage_error("cannot read " + path);
  for (std::string line; std::getline(file, line);) {
    line = line.substr(0, line.find('#'));
    if (line.find_first_not_of(" \t\r,") != std::string::npos) add_fault(line, faults);
  }
}

std::string generation_text(uint8_t value) {
  return value == 0xFF ? "--" : std::to_string(value);
}

// The cards of a state directory, as a table or as JSON.
int show(const std::string& directory, bool json) {
  std::vector<std::string> rows;
  for (int slot = 0; slot < J5_SCAN_NUM_SLOTS; slot++) {
    const std::string path = card_state_path(directory, slot);
    auto state = std::make_unique<x3_card_state>();
    if (!read_card_state(path, state.get())) continue;
    const uint8_t lo = state->flash[X3_BANK_BASE[0] + X3_GENERATION_OFFSET];
    const uint8_t hi = state->flash[X3_BANK_BASE[1] + X3_GENERATION_OFFSET];
    const uint32_t bank = x3_card_t::bank_to_boot(*state);
    const uint32_t crc = crc32(state->flash + X3_BANK_BASE[bank], X3_BANK_SIZE);
    const x3_boot_record& boot = state->boot;
    char row[256];
    if (json) {
      auto generation = [](uint8_t v) { return v == 0xFF ? std::string("null") : std::to_string(v); };
      snprintf(row, sizeof row,
               "{\"slot\": %d, \"generation_0x10000\": %s, \"generation_0x80000\": %s, "
               "\"boots_bank\": %u, \"boots_crc32\": \"%08x\", \"boot_count\": %u, "
               "\"last_boot\": {\"bank\": %u, \"generation\": %u, \"crc32\": \"%08x\"}}",
               slot, generation(lo).c_str(), generation(hi).c_str(), bank, crc,
               uint32_t{boot.boot_count}, uint32_t{boot.booted_bank}, uint32_t{boot.generation},
               uint32_t{boot.crc32});
    } else {
      std::string last = "never";
      if (boot.boot_count) {
        char text[64];
        snprintf(text, sizeof text, "bank %u, generation %u, crc32 %08x",
                 uint32_t{boot.booted_bank}, uint32_t{boot.generation}, uint32_t{boot.crc32});
        last = text;
      }
      // A card with no generation in either bank has no firmware to start.
      const bool bootable = (bank ? hi : lo) != 0xFF && (bank ? hi : lo) != 0;
      char boots[32] = "none    --------";
      if (bootable) snprintf(boots, sizeof boots, "bank %u  %08x", bank, crc);
      snprintf(row, sizeof row, "%4d  %11s  %11s  %s  %6u  %s", slot,
               generation_text(lo).c_str(), generation_text(hi).c_str(), boots,
               uint32_t{boot.boot_count}, last.c_str());
    }
    rows.push_back(row);
  }
  if (json) {
    printf("[");
    for (size_t i = 0; i < rows.size(); i++) printf("%s\n  %s", i ? "," : "", rows[i].c_str());
    printf("%s]\n", rows.empty() ? "" : "\n");
    return 0;
  }
  if (rows.empty()) {
    fprintf(stderr, "scan_sim: no card state in %s\n", directory.c_str());
    return 1;
  }
  printf("slot  gen@0x10000  gen@0x80000  boots   crc32     boots#  last boot\n");
  for (const std::string& row : rows) printf("%s\n", row.c_str());
  return 0;
}

int show_command(int argc, char** argv) {
  std::string directory;
  bool json = false;
  for (int i = 2; i < argc; i++) {
    const std::string option = argv[i];
    if (option == "--json") json = true;
    else if (option == "--state" && i + 1 < argc) directory = argv[++i];
    else usage_error("unknown option " + option + " for show");
  }
  if (directory.empty()) usage_error("show needs --state DIR");
  return show(directory, json);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "show") return show_command(argc, argv);
  std::string cards, state_directory, listen_address = "127.0.0.1";
  int port = J5_SCAN_PORT;
  int idle_seconds = sim_scan_server_t::DEFAULT_IDLE_SECONDS;
  std::vector<injected_fault> faults;
  for (int i = 1; i < argc; i++) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      printf(USAGE, sim_scan_server_t::DEFAULT_IDLE_SECONDS);
      return 0;
    }
    if (i + 1 >= argc) usage_error("missing value for " + option);
    const std::string value = argv[++i];
    if (option == "--cards") cards = value;
    else if (option == "--state") state_directory = value;
    else if (option == "--listen") listen_address = value;
    else if (option == "--port") port = atoi(value.c_str());
    else if (option == "--idle-timeout") idle_seconds = atoi(value.c_str());
    else if (option == "--fault") add_fault(value, &faults);
    else if (option == "--faults") add_fault_file(value, &faults);
    else usage_error("unknown option " + option);
  }
  bool occupied[J5_SCAN_NUM_SLOTS] = {};
  if (cards.empty() && !state_directory.empty()) {
    for (int slot = 0; slot < J5_SCAN_NUM_SLOTS; slot++) {
      struct stat s;
      occupied[slot] = stat(card_state_path(state_directory, slot).c_str(), &s) == 0;
      if (occupied[slot]) cards += (cards.empty() ? "" : ",") + std::to_string(slot);
    }
  }
  if (cards.empty()) cards = "1-4";
  if (!parse_slot_list(cards, 0, occupied).empty()) usage_error("bad slot list " + cards);
  in_addr address;
  if (inet_pton(AF_INET, listen_address.c_str(), &address) != 1)
    usage_error("bad address " + listen_address);
  if (port <= 0 || port > 65535) usage_error("bad port");
  if (idle_seconds <= 0 || idle_seconds > 3600) usage_error("bad idle timeout (1 to 3600 seconds)");
  if (!state_directory.empty() && mkdir(state_directory.c_str(), 0755) != 0 && errno != EEXIST)
    usage_error("cannot create " + state_directory);

  try {
    backplane_t backplane;
    for (int slot = 0; slot < J5_SCAN_NUM_SLOTS; slot++) {
      if (!occupied[slot]) continue;
      if (state_directory.empty()) backplane.insert_card(slot);
      else backplane.insert_card(slot, card_state_path(state_directory, slot));
    }
    for (const injected_fault& f : faults) {
      if (!occupied[f.slot]) usage_error("fault for empty slot " + std::to_string(f.slot));
      backplane.with_card(f.slot, [&](x3_card_t& card) { add_faults(f.faults, &card.faults); });
    }
    sim_scan_server_t server(backplane.primitive(), idle_seconds);
    // The service's own messages (a refused request, say) go to standard
    // output; keep them in order with anything a test reads from there.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // The line says the service is up, so it comes once clients can connect.
    server.serve(port, 16, address.s_addr, [&] {
      printf("scan_sim: serving slots %s on %s:%d\n", cards.c_str(), listen_address.c_str(), port);
    });
  } catch (const exception_t& e) {
    fprintf(stderr, "scan_sim: %s\n", e.message);
  }
  return 1;
}
