#include "scan/slot_list.h"

#include <cstdlib>

namespace {

// A whole piece of the list as a slot number in lowest..31, or -1.
int slot_number(const std::string& text, int lowest) {
  char* end = nullptr;
  const long value = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < lowest || value >= J5_SCAN_NUM_SLOTS) return -1;
  return static_cast<int>(value);
}

}  // namespace

std::string parse_slot_list(const std::string& list, int lowest, bool (&chosen)[J5_SCAN_NUM_SLOTS]) {
  for (size_t start = 0; start <= list.size();) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    const std::string item = list.substr(start, comma - start);
    const size_t dash = item.find('-');
    const std::string ends[2] = {item.substr(0, dash),
                                 dash == std::string::npos ? item : item.substr(dash + 1)};
    int range[2];
    for (int i = 0; i < 2; i++) {
      range[i] = slot_number(ends[i], lowest);
      if (range[i] < 0)
        return "slot '" + ends[i] + "' is not " + std::to_string(lowest) + " to " +
               std::to_string(J5_SCAN_NUM_SLOTS - 1) + (lowest > 0 ? " (slot 0 holds no X3 card)" : "");
    }
    if (range[1] < range[0]) return "slot range '" + item + "' runs backwards";
    for (int slot = range[0]; slot <= range[1]; slot++) chosen[slot] = true;
    start = comma + 1;
  }
  return "";
}
