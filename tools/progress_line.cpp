#include "tools/progress_line.h"

namespace {

const char REDRAW[] = "\r\033[K";

}  // namespace

std::string with_thousands(uint32_t n) {
  std::string digits = std::to_string(n);
  for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

std::string progress_text(int slot, const char* step, uint32_t done, uint32_t total, const char* unit) {
  std::string text = "prog_x3flash: slot " + std::to_string(slot) + ": " + step;
  if (unit) text += ", " + with_thousands(done) + " of " + with_thousands(total) + " " + unit;
  return text;
}

std::string show_progress(progress_line& line, const std::string& text, double now) {
  line.latest = text;
  if (line.open && now < line.drawn_at + REDRAW_SECONDS) return "";
  line.open = true;
  line.shown = text;
  line.drawn_at = now;
  return REDRAW + text;
}

std::string end_line(progress_line& line) {
  if (!line.open) return "";
  line.open = false;
  return (line.latest == line.shown ? "" : REDRAW + line.latest) + "\n";
}
