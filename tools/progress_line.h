// prog_x3flash's progress on a terminal: one line per step, redrawn in
// place ("\r", then clear to the line's end) as the step's sectors or rows
// go by, at most ten times a second, and ended with a line end when the
// next step begins or the run ends, so the terminal keeps one line a step.
//
// The functions return the bytes to write and take the time as a clock
// value in seconds, so nothing here writes or reads a clock.
#ifndef TOOLS_PROGRESS_LINE_H
#define TOOLS_PROGRESS_LINE_H

#include <cstdint>
#include <string>

struct progress_line {
  bool open = false;    // a line is drawn and not yet ended
  std::string shown;    // what the open line shows
  std::string latest;   // what it should show; drawn at the next redraw due
  double drawn_at = 0;  // clock value of the last redraw
};

// Seconds between two redraws of a line, at the least.
const double REDRAW_SECONDS = 0.1;

// 1204 as "1,204".
std::string with_thousands(uint32_t n);

// "prog_x3flash: slot 3: program_flash, 1,204 of 2,048 rows"; without a
// unit just "prog_x3flash: slot 3: program_flash", the line written
// where standard error is not a terminal.
std::string progress_text(int slot, const char* step, uint32_t done, uint32_t total, const char* unit);

// Makes `text` the line's: drawn at once when no line is open or the last
// redraw is REDRAW_SECONDS old at `now`, else at the next call or at
// end_line.
std::string show_progress(progress_line& line, const std::string& text, double now);

// Ends the open line, showing its latest text first; "" when none is open.
std::string end_line(progress_line& line);

#endif
