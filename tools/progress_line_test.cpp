#include "tools/progress_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(ProgressLine, Thousands) {
  const std::pair<uint32_t, const char*> cases[] = {
      {0, "0"}, {999, "999"}, {1000, "1,000"}, {2048, "2,048"}, {999999, "999,999"},
      {1000000, "1,000,000"}, {4294967295u, "4,294,967,295"}};
  for (const auto& [n, text] : cases) EXPECT_EQ(text, with_thousands(n));
}

// One run's calls in order, each with what it writes: a step's line
// without units, its counts at most once per REDRAW_SECONDS, the last
// count before the line end.
TEST(ProgressLine, RedrawsInPlaceAndEndsEachStep) {
  const std::string head = "\r\033[Kprog_x3flash: slot 3: ";
  struct call {
    const char* what;  // "step", "units", "end"
    const char* step;
    uint32_t done, total;
    const char* unit;
    double now;
    std::string written;
  };
  const std::vector<call> calls = {
      {"end", nullptr, 0, 0, nullptr, 0.0, ""},
      {"step", "grab_flash", 0, 0, nullptr, 0.5, head + "grab_flash"},
      {"step", "erase_flash", 0, 0, nullptr, 1.0, "\n" + head + "erase_flash"},
      {"units", "erase_flash", 0, 2, "sectors", 1.05, ""},
      {"units", "erase_flash", 1, 2, "sectors", 1.25, head + "erase_flash, 1 of 2 sectors"},
      {"units", "erase_flash", 2, 2, "sectors", 1.3, ""},
      {"step", "program_flash", 0, 0, nullptr, 1.32,
       head + "erase_flash, 2 of 2 sectors\n" + head + "program_flash"},
      {"units", "program_flash", 1204, 2048, "rows", 1.5, head + "program_flash, 1,204 of 2,048 rows"},
      {"units", "program_flash", 1205, 2048, "rows", 1.55, ""},
      {"units", "program_flash", 1206, 2048, "rows", 1.75, head + "program_flash, 1,206 of 2,048 rows"},
      {"end", nullptr, 0, 0, nullptr, 1.8, "\n"},
      {"end", nullptr, 0, 0, nullptr, 1.9, ""},
  };
  progress_line line;
  for (const call& c : calls) {
    const std::string what = c.what;
    std::string written;
    if (what == "end") written = end_line(line);
    if (what == "step") {
      written = end_line(line);
      written += show_progress(line, progress_text(3, c.step, 0, 0, nullptr), c.now);
    }
    if (what == "units") written = show_progress(line, progress_text(3, c.step, c.done, c.total, c.unit), c.now);
    EXPECT_EQ(c.written, written) << what << " at " << c.now;
  }
}

}  // namespace
