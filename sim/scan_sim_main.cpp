// scan_sim: a stand-in for the switch's scan service, serving the scan
// protocol on 127.0.0.1:1971 with X3 card models in the chosen slots.
//
//   scan_sim [--cards LIST] [--listen ADDR] [--port N]
//
// LIST names the occupied slots, e.g. "1-4,7" (default "1-4").
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/exception.h"
#include "scan/j5_scan_server.h"
#include "sim/backplane.h"

namespace {

const char USAGE[] =
    "usage: scan_sim [--cards LIST] [--listen ADDR] [--port N]\n"
    "  --cards LIST   occupied slots, e.g. 1-4,7 (default 1-4)\n"
    "  --listen ADDR  IPv4 address to listen on (default 127.0.0.1)\n"
    "  --port N       TCP port (default 1971)\n";

[[noreturn]] void usage_error(const char* problem) {
  fprintf(stderr, "scan_sim: %s\n%s", problem, USAGE);
  exit(1);
}

// Reads a slot number at `text`; false unless it is 0..31.
bool read_slot(const char*& text, int* slot) {
  char* end = nullptr;
  const long value = strtol(text, &end, 10);
  if (end == text || value < 0 || value >= J5_SCAN_NUM_SLOTS) return false;
  *slot = static_cast<int>(value);
  text = end;
  return true;
}

// Parses "1-4,7" into flags per slot; false on any malformed piece.
bool parse_slots(const char* list, bool (&occupied)[J5_SCAN_NUM_SLOTS]) {
  for (;;) {
    int first = 0, last = 0;
    if (!read_slot(list, &first)) return false;
    last = first;
    if (*list == '-' && (!read_slot(++list, &last) || last < first)) return false;
    for (int slot = first; slot <= last; slot++) occupied[slot] = true;
    if (*list == '\0') return true;
    if (*list++ != ',') return false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string cards = "1-4";
  std::string listen_address = "127.0.0.1";
  int port = J5_SCAN_PORT;
  for (int i = 1; i < argc; i++) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      fputs(USAGE, stdout);
      return 0;
    }
    if (i + 1 >= argc) usage_error(("missing value for " + option).c_str());
    const char* value = argv[++i];
    if (option == "--cards") cards = value;
    else if (option == "--listen") listen_address = value;
    else if (option == "--port") port = atoi(value);
    else usage_error(("unknown option " + option).c_str());
  }
  bool occupied[J5_SCAN_NUM_SLOTS] = {};
  if (!parse_slots(cards.c_str(), occupied)) usage_error("bad slot list");
  in_addr address;
  if (inet_pton(AF_INET, listen_address.c_str(), &address) != 1) usage_error("bad address");
  if (port <= 0 || port > 65535) usage_error("bad port");

  backplane_t backplane;
  for (int slot = 0; slot < J5_SCAN_NUM_SLOTS; slot++) {
    if (occupied[slot]) backplane.insert_card(slot);
  }
  j5_scan_server_t server(backplane.primitive());
  setvbuf(stdout, nullptr, _IOLBF, 0);
  printf("scan_sim: serving slots %s on %s:%d\n", cards.c_str(), listen_address.c_str(), port);
  try {
    server.serve(port, 16, address.s_addr);
  } catch (const exception_t& e) {
    fprintf(stderr, "scan_sim: %s\n", e.message);
  }
  return 1;
}
