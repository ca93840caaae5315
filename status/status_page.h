// The status page x3_status: what the upgrade history says each slot runs
// and how its last upgrade went, and the past upgrades, as an HTML page
// for the operator or as JSON for the fleet rollout. It only reads the
// history; nothing here writes.
//
// The JSON is one object, every key always present, null when unknown:
//   {"history": PATH, "skipped": N, "error": null or why the file could not be read,
//    "slots": [{"slot": 3,
//               "runs": {"crc32", "type", "compiled", "bank", "generation", "time", "run",
//                        "user", "address"} or null,
//               "last_run": {"run", "time", "result", "step", "message"}}, ...],
//    "runs": [{"run", "time", "program", "user", "address",
//              "image": {"bytes", "lowest", "highest", "crc32", "type", "compiled"},
//              "signed_by", "slots", "ended", "end_time",
//              "results": [{"slot", "result", "bank", "generation", "step", "message"}, ...],
//              "outcome", "reason"}, ...]}
// "slots" are the slots the history names, ascending; a slot's "runs" is
// what the last run that re-flashed it wrote there ("time" that run's
// end), null when none did; "last_run" is the last run that asked for it,
// its "time" the end, or the begin of an interrupted run, and its
// "result" "re-flashed", "failed", "not attempted" or "interrupted".
// "runs" are the newest STATUS_RUNS, newest first. "crc32" is 8 lowercase
// hex digits as x3image info --json prints it, "lowest" and "highest"
// "0x" and 5 of them (null for an image without data). A missing history
// file is no error: no slots, no runs.
#ifndef STATUS_STATUS_PAGE_H
#define STATUS_STATUS_PAGE_H

#include <cstddef>
#include <string>

#include "history/upgrade_history.h"

// Past upgrades shown, the newest first, on the page and in the JSON.
const size_t STATUS_RUNS = 50;

// The JSON above for `history`, read from the file at `path`.
std::string status_json(const upgrade_history& history, const std::string& path);

// The HTML page: per slot its firmware and how its last upgrade went,
// an interrupted or failed one marked, then the past upgrades. Every
// text from the history is escaped.
std::string status_html(const upgrade_history& history, const std::string& path);

// The program's whole CGI answer, headers and body, for a request with
// REQUEST_METHOD `method` and QUERY_STRING `query`: GET or HEAD (or no
// method, run by hand) with no query gives the page, with "format=json"
// the JSON, with "progress" the running upgrade's progress from the file
// at `progress_path` (progress/upgrade_progress.h); another query is a
// 400 and another method a 405, both with a line of plain text. HEAD
// answers the headers alone. Reads the history at `path` only for a page
// or the JSON.
std::string status_cgi(const std::string& method, const std::string& query, const std::string& path,
                       const std::string& progress_path);

#endif
