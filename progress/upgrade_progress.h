// How far a running upgrade is, for the upgrade page, the fleet and
// whoever else asks: flash_x3 keeps one small JSON file up to date while
// it runs, and x3_status hands it out.
//
//   {"program":"flash_x3","run":"20261207T151201Z-4711","slots":[3,5],"slot":5,"index":1,
//    "step":"program_flash","done":1204,"total":2048,"unit":"rows",
//    "step_seconds":12.5,"run_seconds":95.2,"updated":"2026-12-07T15:13:36Z",
//    "finished":false,"outcome":null}
//
// The file is first written once the upgrade lock is held (slot, index,
// step and the units null), then at every step and, within the long steps
// (erase_flash in sectors, program_flash and verify_flash in rows), at
// most PROGRESS_INTERVAL_MS apart; at the end "finished" is true and
// "outcome" the results page's outcome line. `index` is the slot's place
// in `slots`: the cards before it are done. The times are the writer's
// own seconds since the step and since the run began. Each version is
// written to a new file renamed over the last, so a reader sees one
// whole version or the one before; the file stays after the run until
// the next run replaces it.
#ifndef PROGRESS_UPGRADE_PROGRESS_H
#define PROGRESS_UPGRADE_PROGRESS_H

#include <cstdint>
#include <string>
#include <vector>

// The environment variable that names the progress file. Unset or empty,
// the file is PROGRESS_DEFAULT, kept only when its folder (the history's)
// exists.
const char PROGRESS_VARIABLE[] = "X3_PROGRESS";
const char PROGRESS_DEFAULT[] = "/var/lib/x3-flash/progress.json";

const int PROGRESS_INTERVAL_MS = 250;

// What a step's units count: "sectors", "rows", or null for a step
// without units.
const char* unit_of(const std::string& step);

// The progress file to write ("" when this controller keeps none) and to
// read (the default whether or not its folder exists).
std::string progress_path_to_write();
std::string progress_path_to_read();

// Keeps one run's progress file. Writing it never stops or changes the
// run: a file that cannot be written is left as it is, silently (the
// history says what the run did).
class progress_writer {
 public:
  explicit progress_writer(const char* program);
  bool keeping() const { return !path_.empty(); }
  void start(const std::string& run, const std::vector<int>& slots);
  // The card in `slots[index]` begins `step`.
  void step(size_t index, const char* step);
  // The long step under way has done `done` of `total` units.
  void units(uint32_t done, uint32_t total);
  void finish(const std::string& outcome);

 private:
  void write();
  std::string path_, program_, run_, step_, outcome_;
  std::vector<int> slots_;
  long index_ = -1;
  long done_ = -1, total_ = -1;
  bool finished_ = false;
  long long run_start_ms_ = 0, step_start_ms_ = 0, written_ms_ = 0;
};

// The whole answer of x3_status?progress: {"progress": the file's object
// or null when there is none, "error": null or why it cannot be read}.
std::string progress_json(const std::string& path);

#endif
