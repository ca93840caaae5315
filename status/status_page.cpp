#include "status/status_page.h"

#include <cstdio>
#include <vector>

#include "history/json.h"
#include "progress/upgrade_progress.h"

namespace {

// The text as a JSON string, or null when it is empty (left out of the
// record).
std::string json_text(const std::string& text) { return text.empty() ? "null" : json_string(text); }


std::string crc_text(const image_facts& image) { return crc32_text(image.crc); }

std::string html(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

// The history's times, "2026-12-07T15:12:01Z", as "2026-12-07 15:12:01 UTC";
// anything else as it is.
std::string html_time(const std::string& time) {
  if (time.size() == 20 && time[10] == 'T' && time[19] == 'Z')
    return html(time.substr(0, 10) + " " + time.substr(11, 8) + " UTC");
  return html(time);
}

// "3", "3 and 5", "1, 2 and 4".
std::string slot_list(const std::vector<int>& slots) {
  std::string out;
  for (size_t i = 0; i < slots.size(); ++i) {
    if (i) out += i + 1 == slots.size() ? " and " : ", ";
    out += std::to_string(slots[i]);
  }
  return out;
}

// When a slot's last run ended: its end, or its begin when it has none.
const std::string& last_time(const history_run& run) { return run.ended ? run.end_time : run.time; }

// Whether a slot's last run left it needing another.
bool needs_attention(const slot_status& slot) {
  return slot.last_result == RESULT_FAILED || slot.last_result == RESULT_INTERRUPTED;
}

std::string json_image(const image_facts& image) {
  const bool data = image.bytes > 0;
  return "{\"bytes\": " + std::to_string(image.bytes) +
         ", \"lowest\": " + (data ? json_string(offset_text(image.lowest)) : "null") +
         ", \"highest\": " + (data ? json_string(offset_text(image.highest)) : "null") +
         ", \"crc32\": " + json_string(crc_text(image)) + ", \"type\": " + json_text(image.type) +
         ", \"compiled\": " + json_text(image.compiled) + "}";
}

std::string json_slot(const slot_status& slot) {
  std::string out = "{\"slot\": " + std::to_string(slot.slot) + ", \"runs\": ";
  if (slot.flashed && slot.flashed_result) {
    const history_run& run = *slot.flashed;
    out += "{\"crc32\": " + json_string(crc_text(run.image)) + ", \"type\": " + json_text(run.image.type) +
           ", \"compiled\": " + json_text(run.image.compiled) +
           ", \"bank\": " + json_number_or_null(slot.flashed_result->bank) +
           ", \"generation\": " + json_number_or_null(slot.flashed_result->generation) +
           ", \"time\": " + json_text(run.end_time) + ", \"run\": " + json_text(run.run) +
           ", \"user\": " + json_text(run.who.user) + ", \"address\": " + json_text(run.who.address) + "}";
  } else {
    out += "null";
  }
  out += ", \"last_run\": ";
  if (slot.last) {
    out += "{\"run\": " + json_text(slot.last->run) + ", \"time\": " + json_text(last_time(*slot.last)) +
           ", \"result\": " + json_text(slot.last_result) + ", \"step\": " + json_text(slot.last_step) +
           ", \"message\": " + json_text(slot.last_message) + "}";
  } else {
    out += "null";
  }
  return out + "}";
}

std::string json_run(const history_run& run) {
  std::string slots, results;
  for (int slot : run.slots) slots += (slots.empty() ? "" : ", ") + std::to_string(slot);
  for (const slot_result& r : run.results) {
    results += std::string(results.empty() ? "" : ", ") + "{\"slot\": " + std::to_string(r.slot) +
               ", \"result\": " + json_text(r.result) + ", \"bank\": " + json_number_or_null(r.bank) +
               ", \"generation\": " + json_number_or_null(r.generation) + ", \"step\": " + json_text(r.step) +
               ", \"message\": " + json_text(r.message) + "}";
  }
  return "{\"run\": " + json_text(run.run) + ", \"time\": " + json_text(run.time) +
         ", \"program\": " + json_text(run.program) + ", \"user\": " + json_text(run.who.user) +
         ", \"address\": " + json_text(run.who.address) + ", \"image\": " + json_image(run.image) +
         ", \"signed_by\": " + json_text(run.signed_by) + ", \"slots\": [" + slots + "]" +
         ", \"ended\": " + (run.ended ? "true" : "false") +
         ", \"end_time\": " + (run.ended ? json_text(run.end_time) : "null") + ", \"results\": [" + results + "]" +
         ", \"outcome\": " + (run.ended ? json_text(run.outcome) : "null") +
         ", \"reason\": " + (run.ended ? json_text(run.reason) : "null") + "}";
}

// The newest STATUS_RUNS runs, newest first.
std::vector<const history_run*> newest_runs(const upgrade_history& history) {
  std::vector<const history_run*> runs;
  for (auto run = history.runs.rbegin(); run != history.runs.rend() && runs.size() < STATUS_RUNS; ++run)
    runs.push_back(&*run);
  return runs;
}

// "alice at 10.0.0.5", "10.0.0.5", "alice", or "" when neither is known.
std::string html_who(const requester& who) {
  if (!who.user.empty() && !who.address.empty()) return html(who.user) + " at " + html(who.address);
  return html(who.user + who.address);
}

// The firmware's CRC-32 with its version stamp, when it has one.
std::string html_firmware(const image_facts& image) {
  std::string out = "<code>" + crc_text(image) + "</code>";
  if (!image.type.empty() || !image.compiled.empty()) {
    out += "<br><span class=\"note\">" + html(image.type);
    if (!image.compiled.empty()) out += (image.type.empty() ? "compiled " : ", compiled ") + html(image.compiled);
    out += "</span>";
  }
  return out;
}

std::string html_bank(int bank, int generation) {
  return "bank " + std::to_string(bank) +
         (generation < 0 ? ", no generation written" : ", generation " + std::to_string(generation));
}

// How a slot's last run went there, a failure or interruption marked.
std::string html_result(const std::string& result, const std::string& step, const std::string& message) {
  if (result == RESULT_INTERRUPTED) return "<strong class=\"bad\">interrupted</strong>";
  if (result != RESULT_FAILED) return html(result);
  std::string out = "<strong class=\"bad\">failed</strong>";
  if (!step.empty()) out += " in step <code>" + html(step) + "</code>";
  if (!message.empty()) out += ": " + html(message);
  return out;
}

std::string html_slots(const std::vector<slot_status>& slots) {
  std::vector<int> attention;
  for (const slot_status& slot : slots)
    if (needs_attention(slot)) attention.push_back(slot.slot);
  std::string out = "<section>\n<h2>Firmware per slot</h2>\n";
  if (!attention.empty()) {
    out += "<div class=\"message error\" role=\"alert\">The last upgrade of slot" +
           std::string(attention.size() == 1 ? " " : "s ") + slot_list(attention) +
           " did not complete. Re-run the upgrade for " + (attention.size() == 1 ? "that card." : "those cards.") +
           "</div>\n";
  }
  out += "<table class=\"status\">\n<thead><tr><th>Slot</th><th>Firmware (CRC-32)</th><th>Bank</th>"
         "<th>Generation</th><th>Re-flashed</th><th>By</th><th>Last upgrade</th></tr></thead>\n<tbody>\n";
  for (const slot_status& slot : slots) {
    out += needs_attention(slot) ? "<tr class=\"attention\">" : "<tr>";
    out += "<td>" + std::to_string(slot.slot) + "</td>";
    if (slot.flashed && slot.flashed_result) {
      const int generation = slot.flashed_result->generation;
      out += "<td>" + html_firmware(slot.flashed->image) + "</td><td>" +
             std::to_string(slot.flashed_result->bank) + "</td><td>" +
             (generation < 0 ? "none written" : std::to_string(generation)) + "</td><td>" +
             html_time(slot.flashed->end_time) + "</td><td>" + html_who(slot.flashed->who) + "</td>";
    } else {
      out += "<td colspan=\"5\" class=\"note\">not re-flashed by any recorded upgrade</td>";
    }
    out += "<td>";
    if (slot.last) {
      out += html_result(slot.last_result, slot.last_step, slot.last_message);
      // The time is in the row already when the last run is the re-flash.
      if (slot.last != slot.flashed) out += "<br><span class=\"note\">" + html_time(last_time(*slot.last)) + "</span>";
    }
    out += "</td></tr>\n";
  }
  return out + "</tbody>\n</table>\n</section>\n";
}

std::string html_run(const history_run& run, bool newest) {
  std::string out = run.ended ? "<div class=\"run\">\n" : "<div class=\"run interrupted\">\n";
  out += "<h3>" + html_time(run.time) + " &middot; " + html(run.program);
  const std::string who = html_who(run.who);
  if (!who.empty()) out += " &middot; " + who;
  out += "</h3>\n<p>Image " + html_firmware(run.image) + "<br>" + std::to_string(run.image.bytes) + " bytes";
  if (run.image.bytes > 0)
    out += " at " + offset_text(run.image.lowest) + "-" + offset_text(run.image.highest);
  if (!run.signed_by.empty()) out += ", signed by " + html(run.signed_by);
  out += "; slot" + std::string(run.slots.size() == 1 ? " " : "s ") + slot_list(run.slots) + "</p>\n";
  if (!run.ended) {
    out += "<p><strong class=\"bad\">Interrupted</strong>: the history has no end of this run";
    out += newest ? " (unless it is still under way).</p>\n" : ".</p>\n";
    return out + "</div>\n";
  }
  out += "<p class=\"outcome\">" + html(run.outcome);
  if (!run.reason.empty()) out += " " + html(run.reason);
  out += "</p>\n<ul>\n";
  for (const slot_result& r : run.results) {
    out += "<li>Slot " + std::to_string(r.slot) + ": " + html_result(r.result, r.step, r.message);
    if (r.result == RESULT_REFLASHED) out += ", " + html_bank(r.bank, r.generation);
    out += "</li>\n";
  }
  return out + "</ul>\n</div>\n";
}

}  // namespace

std::string status_json(const upgrade_history& history, const std::string& path) {
  std::string slots, runs;
  for (const slot_status& slot : slot_statuses(history)) slots += (slots.empty() ? "" : ",\n  ") + json_slot(slot);
  for (const history_run* run : newest_runs(history)) runs += (runs.empty() ? "" : ",\n  ") + json_run(*run);
  return "{\"history\": " + json_string(path) + ", \"skipped\": " + std::to_string(history.skipped) +
         ", \"error\": " + json_text(history.error) + ",\n \"slots\": [" + slots + "],\n \"runs\": [" + runs +
         "]}\n";
}

std::string status_html(const upgrade_history& history, const std::string& path) {
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<title>X3 Firmware per Slot - Telvane Switch</title>\n"
      "<link rel=\"stylesheet\" type=\"text/css\" href=\"/style.css\">\n</head>\n<body>\n<div id=\"top\">\n"
      "<h1><a href=\"/index.html\">Telvane Switch</a> : "
      "<a href=\"/cgi/web.cgi?upgrade_x3\">Upgrade X3 Firmware</a> : firmware per slot</h1>\n"
      "<div id=\"center\">\n";
  if (!history.error.empty()) {
    out += "<div class=\"message error\" role=\"alert\">The upgrade history " + html(path) +
           " could not be read: " + html(history.error) + "</div>\n";
  }
  if (history.skipped > 0) {
    out += "<div class=\"message warning\">" + std::to_string(history.skipped) +
           (history.skipped == 1 ? " line of the history could not be read and was skipped."
                                 : " lines of the history could not be read and were skipped.") +
           "</div>\n";
  }
  if (history.runs.empty()) {
    if (history.error.empty())
      out += "<p>No upgrade has been recorded. This switch keeps its upgrade history in " + html(path) + ".</p>\n";
  } else {
    out += html_slots(slot_statuses(history));
    out += "<section>\n<h2>Past upgrades</h2>\n";
    if (history.runs.size() > STATUS_RUNS)
      out += "<p class=\"note\">The newest " + std::to_string(STATUS_RUNS) + " of " +
             std::to_string(history.runs.size()) + ".</p>\n";
    const std::vector<const history_run*> runs = newest_runs(history);
    for (const history_run* run : runs) out += html_run(*run, run == runs.front());
    out += "</section>\n<p class=\"note\">From the upgrade history in " + html(path) + ".</p>\n";
  }
  return out + "</div>\n</div>\n</body>\n</html>\n";
}

std::string status_cgi(const std::string& method, const std::string& query, const std::string& path,
                       const std::string& progress_path) {
  const bool json = query == "format=json", progress = query == "progress";
  std::string head, body;
  if (!method.empty() && method != "GET" && method != "HEAD") {
    head = "Status: 405\nAllow: GET, HEAD\nContent-Type: text/plain; charset=utf-8\n\n";
    body = "The status page only shows the upgrade history: it takes GET and HEAD.\n";
  } else if (!json && !progress && !query.empty()) {
    head = "Status: 400\nContent-Type: text/plain; charset=utf-8\n\n";
    body = "Unknown query: ask for the page itself, for ?format=json or for ?progress.\n";
  } else {
    head = std::string("Content-Type: ") + (json || progress ? "application/json" : "text/html; charset=utf-8") +
           "\nCache-Control: no-store\n\n";
    if (method == "HEAD") return head;
    if (progress) return head + progress_json(progress_path);
    const upgrade_history history = read_history(path);
    body = json ? status_json(history, path) : status_html(history, path);
  }
  return method == "HEAD" ? head : head + body;
}
