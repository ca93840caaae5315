// The switch's upgrade history: one JSON object per line in a file that
// flash_x3 and prog_x3flash append to and x3_status, linecard and the
// fleet read.
//
// Every run that got as far as a loaded image and the upgrade lock writes
// a "begin" record, and an "end" record when it ends; a run killed or cut
// off by a power loss leaves its begin alone and reads as interrupted.
// Each record goes out in one write(2) on a descriptor opened O_APPEND,
// followed by fsync, so it is whole or absent. Writers hold the upgrade
// lock (flashing/upgrade_lock.h), so they never meet; readers need no lock.
// When the file would grow past HISTORY_LIMIT the oldest records go: the
// newest HISTORY_KEPT bytes of whole lines are copied into a new file
// that is renamed over the old one, never cut in place.
//
//   {"record":"begin","run":"20261207T151201Z-4711","time":"2026-12-07T15:12:01Z",
//    "program":"flash_x3","user":"alice","address":"10.0.0.5",
//    "image":{"bytes":73728,"lowest":"0x00000","highest":"0x11fff","crc32":"1a2b3c4d",
//             "type":"X3 line card","compiled":"Dec  1 2026 10:00:00","signed_by":"6F2D..."},
//    "slots":[3,5]}
//   {"record":"end","run":"20261207T151201Z-4711","time":"2026-12-07T15:12:09Z",
//    "slots":[{"slot":3,"result":"re-flashed","bank":1,"generation":2},
//             {"slot":5,"result":"failed","step":"verify_flash","message":"Verify error at address 0x80102"}],
//    "outcome":"The upgrade failed.","reason":"release failed."}
//
// Members that do not apply are left out (user, address, type, compiled,
// signed_by, step, message, reason); a slot's result is "re-flashed",
// "failed" or "not attempted".
#ifndef HISTORY_UPGRADE_HISTORY_H
#define HISTORY_UPGRADE_HISTORY_H

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "flashing/image_facts.h"

// The environment variable that names the history file. Unset or empty,
// the file is HISTORY_DEFAULT, and only when its folder exists: a
// controller without /var/lib/x3-flash keeps no history and says nothing.
const char HISTORY_VARIABLE[] = "X3_HISTORY";
const char HISTORY_DEFAULT[] = "/var/lib/x3-flash/history.jsonl";
const char HISTORY_DEFAULT_FOLDER[] = "/var/lib/x3-flash";

const size_t HISTORY_LIMIT = 512 * 1024;
const size_t HISTORY_KEPT = 256 * 1024;

// The history file to write, or "" when this controller keeps none.
// Inline, as is all of history_writer that runs without a history: the
// upgrade then touches no page of this module's code.
inline std::string history_path_to_write() {
  const char* named = getenv(HISTORY_VARIABLE);
  if (named && *named) return named;
  struct stat folder;
  return stat(HISTORY_DEFAULT_FOLDER, &folder) == 0 && S_ISDIR(folder.st_mode) ? HISTORY_DEFAULT : "";
}
// The history file to read: the same, except that the default is
// returned whether or not its folder exists.
std::string history_path_to_read();

// Who asked for a run, as far as it is known ("" when not).
struct requester {
  std::string user;     // REMOTE_USER for the CGI program, the login name for prog_x3flash
  std::string address;  // REMOTE_ADDR for the CGI program
};

struct slot_result {
  int slot = 0;
  std::string result;        // "re-flashed", "failed" or "not attempted"
  int bank = -1;             // re-flashed: 0 or 1
  int generation = -1;       // re-flashed: the generation written (-1: none)
  std::string step, message; // failed: the step (flash_sequence.h) and what it said
};

const char RESULT_REFLASHED[] = "re-flashed";
const char RESULT_FAILED[] = "failed";
const char RESULT_NOT_ATTEMPTED[] = "not attempted";

slot_result reflashed(int slot, int bank, int generation);
slot_result failed(int slot, const std::string& step, const std::string& message);
slot_result not_attempted(int slot);

// One run as the history has it: its begin, and its end when there is one.
struct history_run {
  std::string run, time, program;
  requester who;
  image_facts image;
  std::string signed_by;
  std::vector<int> slots;  // asked for, in ascending order
  bool ended = false;      // false: interrupted, or still under way
  std::string end_time;
  std::vector<slot_result> results;
  std::string outcome, reason;
};

// The begin and end records of `run`, each one line with its '\n'.
std::string begin_record(const history_run& run);
std::string end_record(const history_run& run);

// Appends one record to the file at `path`, trimming the file first when
// it would pass HISTORY_LIMIT. Returns "" or the reason it could not.
std::string append_record(const std::string& path, const std::string& record);

// A new run's identity: the time now (UTC) and the process.
std::string run_id(const std::string& time);
// The time now, UTC, ISO 8601 to the second: "2026-12-07T15:12:01Z".
std::string utc_now();
// The same of a time in seconds since 1970-01-01T00:00:00Z.
std::string utc_time(long long seconds);

// Writes one run's records for flash_x3 and prog_x3flash. Every failure
// to write goes to standard error once, as "upgrade history PATH: REASON",
// and is otherwise ignored: the history never stops or changes a run.
class history_writer {
 public:
  explicit history_writer(const char* program) : path_(history_path_to_write()) { run_.program = program; }
  // Whether this controller keeps a history: without one, begin and end
  // do nothing and the caller need not gather what they record.
  bool keeping() const { return !path_.empty(); }
  // The begin record, once the image is loaded and the lock held.
  void begin(const requester& who, const image_facts& image, const std::string& signed_by,
             const std::vector<int>& slots);
  // Each slot as it ends, in the order flashed.
  void slot_done(const slot_result& result) { run_.results.push_back(result); }
  // The end record; slots asked for but not reported are "not attempted".
  // Does nothing before begin or after a first end.
  void end(const std::string& outcome, const std::string& reason = "") {
    if (open_) write_end(outcome, reason);
  }

 private:
  void write_end(const std::string& outcome, const std::string& reason);
  void write(const std::string& record);
  std::string path_;
  bool warned_ = false;
  bool open_ = false;
  history_run run_;
};

// What a reader makes of a history file.
struct upgrade_history {
  std::vector<history_run> runs;  // in the order begun, oldest first
  size_t skipped = 0;             // lines that are not a record: garbage, a cut last line
  std::string error;              // "" or why the file could not be read (missing: no runs, no error)
};
upgrade_history read_history(const std::string& path);
// The same from the file's text.
upgrade_history parse_history(const std::string& text);

// What the history says of one slot.
struct slot_status {
  int slot = 0;
  // The last run that re-flashed it, or null when none did.
  const history_run* flashed = nullptr;
  const slot_result* flashed_result = nullptr;
  // The last run that asked for it, and how it went there: a result of
  // that run's end, or "interrupted" when the run has no end.
  const history_run* last = nullptr;
  std::string last_result, last_step, last_message;
};
const char RESULT_INTERRUPTED[] = "interrupted";

// Every slot the history names, ascending; pointers into `history`.
std::vector<slot_status> slot_statuses(const upgrade_history& history);

#endif
