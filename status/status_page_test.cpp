#include "status/status_page.h"

#include <gtest/gtest.h>

namespace {

const char PATH[] = "/var/lib/x3-flash/history.jsonl";

// A begin record of run N at minute N for SLOTS, by alice at 10.0.0.5.
std::string begin(int n, const std::string& slots, const std::string& user = "alice") {
  const std::string id = "\"run\":\"r" + std::to_string(n) + "\",\"time\":\"2026-12-07T15:" +
                         std::to_string(10 + n) + ":00Z\"";
  return "{\"record\":\"begin\"," + id + ",\"program\":\"flash_x3\",\"user\":\"" + user +
         "\",\"address\":\"10.0.0.5\",\"image\":{\"bytes\":73728,\"lowest\":\"0x00000\",\"highest\":\"0x11fff\","
         "\"crc32\":\"1a2b3c4d\",\"type\":\"X3 line card\",\"compiled\":\"Dec  1 2026 10:00:00\"},\"slots\":[" +
         slots + "]}\n";
}
std::string end(int n, const std::string& results, const std::string& outcome = "The upgrade failed.") {
  return "{\"record\":\"end\",\"run\":\"r" + std::to_string(n) + "\",\"time\":\"2026-12-07T15:" +
         std::to_string(10 + n) + ":09Z\",\"slots\":[" + results + "],\"outcome\":\"" + outcome + "\"}\n";
}
const std::string FLASHED3 = "{\"slot\":3,\"result\":\"re-flashed\",\"bank\":1,\"generation\":2}";
const std::string FAILED5 =
    "{\"slot\":5,\"result\":\"failed\",\"step\":\"verify_flash\",\"message\":\"Verify <b>error</b>\"}";

TEST(status_page, json_has_every_key_with_nulls_where_unknown) {
  // history text, the JSON's slots and runs
  const std::string unfinished = begin(1, "3,5") + end(1, FLASHED3 + "," + FAILED5) + begin(2, "5");
  for (const auto& [text, slots, runs] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {"", "", ""},
           {unfinished,
            "{\"slot\": 3, \"runs\": {\"crc32\": \"1a2b3c4d\", \"type\": \"X3 line card\", \"compiled\": "
            "\"Dec  1 2026 10:00:00\", \"bank\": 1, \"generation\": 2, \"time\": \"2026-12-07T15:11:09Z\", \"run\": "
            "\"r1\", \"user\": \"alice\", \"address\": \"10.0.0.5\"}, \"last_run\": {\"run\": \"r1\", \"time\": "
            "\"2026-12-07T15:11:09Z\", \"result\": \"re-flashed\", \"step\": null, \"message\": null}},\n  "
            "{\"slot\": 5, \"runs\": null, \"last_run\": {\"run\": \"r2\", \"time\": \"2026-12-07T15:12:00Z\", "
            "\"result\": \"interrupted\", \"step\": null, \"message\": null}}",
            "{\"run\": \"r2\", \"time\": \"2026-12-07T15:12:00Z\", \"program\": \"flash_x3\", \"user\": \"alice\", "
            "\"address\": \"10.0.0.5\", \"image\": {\"bytes\": 73728, \"lowest\": \"0x00000\", \"highest\": "
            "\"0x11fff\", \"crc32\": \"1a2b3c4d\", \"type\": \"X3 line card\", \"compiled\": \"Dec  1 2026 "
            "10:00:00\"}, \"signed_by\": null, \"slots\": [5], \"ended\": false, \"end_time\": null, \"results\": "
            "[], \"outcome\": null, \"reason\": null},\n  {\"run\": \"r1\", \"time\": \"2026-12-07T15:11:00Z\", "
            "\"program\": \"flash_x3\", \"user\": \"alice\", \"address\": \"10.0.0.5\", \"image\": {\"bytes\": "
            "73728, \"lowest\": \"0x00000\", \"highest\": \"0x11fff\", \"crc32\": \"1a2b3c4d\", \"type\": \"X3 line "
            "card\", \"compiled\": \"Dec  1 2026 10:00:00\"}, \"signed_by\": null, \"slots\": [3, 5], \"ended\": "
            "true, \"end_time\": \"2026-12-07T15:11:09Z\", \"results\": [{\"slot\": 3, \"result\": \"re-flashed\", "
            "\"bank\": 1, \"generation\": 2, \"step\": null, \"message\": null}, {\"slot\": 5, \"result\": "
            "\"failed\", \"bank\": null, \"generation\": null, \"step\": \"verify_flash\", \"message\": \"Verify "
            "<b>error</b>\"}], \"outcome\": \"The upgrade failed.\", \"reason\": null}"}}) {
    EXPECT_EQ("{\"history\": \"/var/lib/x3-flash/history.jsonl\", \"skipped\": 0, \"error\": null,\n \"slots\": [" +
                  slots + "],\n \"runs\": [" + runs + "]}\n",
              status_json(parse_history(text), PATH));
  }
}

TEST(status_page, json_strings_are_escaped) {
  // a user name as the history spells it, as the JSON must
  for (const auto& [user, json] : std::vector<std::pair<std::string, std::string>>{
           {"a\\\"b\\\\c", "a\\\"b\\\\c"},
           {"tab\\tline\\n\\u0001\\u007f", "tab\\u0009line\\n\\u0001\x7f"},
           {"Zo\xc3\xab \xe2\x82\xac", "Zo\xc3\xab \xe2\x82\xac"},  // UTF-8 passes
           {"\\u00ff(\\ud83d\\ude00", "\xc3\xbf(\xf0\x9f\x98\x80"}}) {  // escapes, written as UTF-8
    const std::string out = status_json(parse_history(begin(1, "3", user)), PATH);
    EXPECT_NE(std::string::npos, out.find("\"user\": \"" + json + "\"")) << out;
  }
}

TEST(status_page, page_marks_failed_and_interrupted_slots_lists_runs_newest_first_and_escapes) {
  std::string many;
  for (int n = 1; n <= 52; ++n) many += begin(n, "3") + end(n, FLASHED3, "The upgrade was successful.");
  // history text; what the page says, in this order; what it must not say
  for (const auto& [text, says, never] : std::vector<std::tuple<std::string, std::vector<std::string>, std::string>>{
           {"", {"No upgrade has been recorded. This switch keeps its upgrade history in " + std::string(PATH)}, "<table"},
           {"x\n" + begin(1, "3,5") + end(1, FLASHED3 + "," + FAILED5) + "{\"record\n" + begin(2, "4", "<i>mallory</i>"),
            {"2 lines of the history could not be read and were skipped.",
             "The last upgrade of slots 4 and 5 did not complete. Re-run the upgrade for those cards.",
             "<tr><td>3</td><td><code>1a2b3c4d</code><br><span class=\"note\">X3 line card, compiled Dec  1 2026 "
             "10:00:00</span></td><td>1</td><td>2</td><td>2026-12-07 15:11:09 UTC</td><td>alice at 10.0.0.5</td>"
             "<td>re-flashed</td></tr>",
             "<tr class=\"attention\"><td>4</td><td colspan=\"5\" class=\"note\">not re-flashed",
             "<strong class=\"bad\">interrupted</strong><br><span class=\"note\">2026-12-07 15:12:00 UTC",
             "<tr class=\"attention\"><td>5</td>",
             "<strong class=\"bad\">failed</strong> in step <code>verify_flash</code>: Verify &lt;b&gt;error&lt;/b&gt;",
             "<h3>2026-12-07 15:12:00 UTC &middot; flash_x3 &middot; &lt;i&gt;mallory&lt;/i&gt; at 10.0.0.5</h3>",
             "(unless it is still under way)", "<h3>2026-12-07 15:11:00 UTC",
             "<li>Slot 3: re-flashed, bank 1, generation 2</li>"},
            "<b>"},
           {many, {"The newest 50 of 52.", "15:62:00 UTC", "15:13:00 UTC"}, "15:12:00 UTC &middot;"}}) {
    const std::string page = status_html(parse_history(text), PATH);
    size_t at = 0;
    for (const std::string& line : says) {
      at = page.find(line, at);
      ASSERT_NE(std::string::npos, at) << line << "\n" << page;
    }
    EXPECT_EQ(std::string::npos, page.find(never)) << page;
  }
}

TEST(status_page, answers_get_and_head_with_the_page_or_json_and_refuses_the_rest) {
  // method, query, the answer's start, whether a body follows the headers
  for (const auto& [method, query, start, body] : std::vector<std::tuple<std::string, std::string, std::string, bool>>{
           {"GET", "", "Content-Type: text/html; charset=utf-8\nCache-Control: no-store\n\n<!DOCTYPE html>", true},
           {"", "format=json", "Content-Type: application/json\nCache-Control: no-store\n\n{\"history\": ", true},
           {"HEAD", "format=json", "Content-Type: application/json\n", false},
           {"GET", "format=json&x", "Status: 400\n", true},
           {"HEAD", "format=html", "Status: 400\n", false},
           {"GET", "progress", "Content-Type: application/json\nCache-Control: no-store\n\n{\"progress\": null, "
                               "\"error\": null}\n", true},
           {"HEAD", "progress", "Content-Type: application/json\n", false},
           {"POST", "format=json", "Status: 405\nAllow: GET, HEAD\n", true}}) {
    const std::string answer = status_cgi(method, query, "/nonexistent/history.jsonl", "/nonexistent/progress.json");
    EXPECT_EQ(start, answer.substr(0, start.size())) << method << " " << query;
    EXPECT_EQ(body, answer.find("\n\n") + 2 < answer.size()) << method << " " << query;
  }
}

}  // namespace
