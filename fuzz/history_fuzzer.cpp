// The upgrade history as its readers meet it: any text, read as a history
// file. Whatever it holds, the status page's JSON must be valid JSON, and
// every run read must write back as records that read the same again.
#include <string>

#include "fuzz/fuzz_support.h"
#include "history/json.h"
#include "history/upgrade_history.h"
#include "status/status_page.h"

namespace {

bool same(const history_run& a, const history_run& b) {
  if (a.run != b.run || a.time != b.time || a.program != b.program || a.who.user != b.who.user ||
      a.who.address != b.who.address || a.image.crc != b.image.crc || a.image.bytes != b.image.bytes ||
      a.image.type != b.image.type || a.signed_by != b.signed_by || a.slots != b.slots || a.ended != b.ended ||
      a.outcome != b.outcome || a.reason != b.reason || a.results.size() != b.results.size())
    return false;
  for (size_t k = 0; k < a.results.size(); k++) {
    const slot_result &x = a.results[k], &y = b.results[k];
    if (x.slot != y.slot || x.result != y.result || x.bank != y.bank || x.generation != y.generation ||
        x.step != y.step || x.message != y.message)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const upgrade_history history = parse_history(text);
  json_value page;
  if (!parse_json(status_json(history, "/fuzz/history.jsonl"), &page)) __builtin_trap();
  status_html(history, "/fuzz/history.jsonl");
  // Strings read from JSON are valid UTF-8, so they write back unchanged.
  for (const history_run& run : history.runs) {
    const std::string records = begin_record(run) + (run.ended ? end_record(run) : "");
    const upgrade_history again = parse_history(records);
    if (again.runs.size() != 1 || again.skipped != 0 || !same(run, again.runs[0])) __builtin_trap();
  }
  return 0;
}
