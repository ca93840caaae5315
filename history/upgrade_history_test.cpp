#include "history/upgrade_history.h"

#include <gtest/gtest.h>

#include "history/json.h"

namespace {

history_run sample_run(const std::string& name, std::vector<int> slots) {
  history_run run;
  run.run = name;
  run.time = "2026-12-07T15:12:01Z";
  run.program = "flash_x3";
  run.image.crc = 0x1a2b3c4d;
  run.image.bytes = 3;
  run.image.highest = 0x10002;
  run.slots = std::move(slots);
  return run;
}

std::string ended(history_run run, std::vector<slot_result> results) {
  run.results = std::move(results);
  run.end_time = "2026-12-07T15:12:09Z";
  run.outcome = "The upgrade failed.";
  return begin_record(run) + end_record(run);
}

// What the history says of each slot it names, one line per slot.
std::string statuses(const upgrade_history& history) {
  std::string out;
  for (const slot_status& s : slot_statuses(history)) {
    out += std::to_string(s.slot) + ": " + s.last_result + (s.last_step.empty() ? "" : " in " + s.last_step);
    if (s.flashed) out += ", runs " + s.flashed->run + " bank " + std::to_string(s.flashed_result->bank);
    out += "\n";
  }
  return out;
}

TEST(UpgradeHistory, WhatEachSlotRunsAndHowItsLastRunWent) {
  const std::string a = ended(sample_run("a", {1, 2, 3}),
                              {reflashed(1, 1, 2), reflashed(2, 0, 7), failed(3, "verify_flash", "Verify error")});
  const std::string b = ended(sample_run("b", {2}), {failed(2, "erase_flash", "Erase failed")});
  const std::string c = begin_record(sample_run("c", {1}));
  const std::string gone = ended(sample_run("gone", {4}), {reflashed(4, 1, 1)});
  const std::string lone_end = gone.substr(gone.find('\n') + 1);
  struct row {
    std::string what, text, statuses;
    size_t runs, skipped;
  } rows[] = {
      {"one run", a, "1: re-flashed, runs a bank 1\n2: re-flashed, runs a bank 0\n3: failed in verify_flash\n", 1, 0},
      {"a later failure keeps what the slot runs", a + b,
       "1: re-flashed, runs a bank 1\n2: failed in erase_flash, runs a bank 0\n3: failed in verify_flash\n", 2, 0},
      {"a begin without end is interrupted", a + c,
       "1: interrupted, runs a bank 1\n2: re-flashed, runs a bank 0\n3: failed in verify_flash\n", 2, 0},
      {"garbage and a cut last line are skipped", "garbage\n" + a + "{\"record\":\"begin\"}\n" + c.substr(0, 40),
       "1: re-flashed, runs a bank 1\n2: re-flashed, runs a bank 0\n3: failed in verify_flash\n", 1, 3},
      {"an end whose begin was trimmed away", lone_end + b, "2: failed in erase_flash\n", 1, 0},
      {"a record without its line end", a.substr(0, a.size() - 1),
       "1: interrupted\n2: interrupted\n3: interrupted\n", 1, 1},
      {"blank lines", "\n \r\n" + b, "2: failed in erase_flash\n", 1, 0},
      {"slot outside 0..31", "{\"record\":\"begin\",\"run\":\"x\",\"image\":{\"bytes\":0,\"lowest\":\"0x00000\","
       "\"highest\":\"0x00000\",\"crc32\":\"00000000\"},\"slots\":[32]}\n", "", 0, 1},
      {"slots not a list", "{\"record\":\"begin\",\"run\":\"x\",\"image\":{\"bytes\":0,\"lowest\":\"0x00000\","
       "\"highest\":\"0x00000\",\"crc32\":\"00000000\"},\"slots\":3}\n", "", 0, 1},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    const upgrade_history history = parse_history(r.text);
    EXPECT_EQ(r.runs, history.runs.size());
    EXPECT_EQ(r.skipped, history.skipped);
    EXPECT_EQ(r.statuses, statuses(history));
  }
}

TEST(UpgradeHistory, RecordsReadBackAsWritten) {
  history_run run = sample_run("r", {0, 5});
  run.who = {"\"op\"\\\n\x01", "2001:db8::1"};
  run.image.type = "X3 \xc3\xa9t\xff";  // valid UTF-8, then a byte that is not
  run.image.compiled = "Dec  1 2026 10:00:00";
  run.signed_by = "ABCDEF0123456789";
  run.results = {failed(0, "", "assertion failed. flash_x3:510 (slot)"), not_attempted(5)};
  run.ended = true;
  run.end_time = "2026-12-07T15:12:09Z";
  run.outcome = "The upgrade failed.";
  run.reason = "assertion failed. flash_x3:510 (slot)";
  const std::string text = begin_record(run) + end_record(run);
  EXPECT_NE(std::string::npos, text.find("\"user\":\"\\\"op\\\"\\\\\\n\\u0001\""));
  EXPECT_NE(std::string::npos, text.find("\"type\":\"X3 \xc3\xa9t\\u00ff\""));
  const upgrade_history history = parse_history(text);
  ASSERT_EQ(1u, history.runs.size());
  const history_run& back = history.runs[0];
  EXPECT_EQ(run.who.user, back.who.user);
  EXPECT_EQ(run.who.address, back.who.address);
  EXPECT_EQ("X3 \xc3\xa9t\xc3\xbf", back.image.type);
  EXPECT_EQ(run.image.compiled, back.image.compiled);
  EXPECT_EQ(run.image.crc, back.image.crc);
  EXPECT_EQ(run.image.highest, back.image.highest);
  EXPECT_EQ(run.signed_by, back.signed_by);
  EXPECT_EQ(run.slots, back.slots);
  EXPECT_TRUE(back.ended);
  EXPECT_EQ(run.reason, back.reason);
  ASSERT_EQ(2u, back.results.size());
  EXPECT_EQ(run.results[0].message, back.results[0].message);
  EXPECT_EQ(RESULT_NOT_ATTEMPTED, back.results[1].result);
}

TEST(UpgradeHistory, TimesInUtc) {
  const struct {
    long long seconds;
    const char* text;
  } rows[] = {{0, "1970-01-01T00:00:00Z"}, {951782400, "2000-02-29T00:00:00Z"},
              {951868799, "2000-02-29T23:59:59Z"}, {1796656321, "2026-12-07T15:12:01Z"},
              {4107542400, "2100-03-01T00:00:00Z"}, {-1, "1969-12-31T23:59:59Z"},
              {1709164800, "2024-02-29T00:00:00Z"}, {1735689599, "2024-12-31T23:59:59Z"}};
  for (const auto& r : rows) EXPECT_EQ(r.text, utc_time(r.seconds)) << r.seconds;
}

TEST(Json, OnlyWellFormedTextParses) {
  std::string deep(JSON_MAX_DEPTH, '['), deeper(JSON_MAX_DEPTH + 1, '[');
  deep += std::string(JSON_MAX_DEPTH, ']');
  deeper += std::string(JSON_MAX_DEPTH + 1, ']');
  std::string objects, more_objects;  // {"a":{"a":...{}}}
  for (int k = 1; k < JSON_MAX_DEPTH; k++) objects += "{\"a\":";
  more_objects = "{\"a\":" + objects + "{}" + std::string(JSON_MAX_DEPTH, '}');
  objects += "{}" + std::string(JSON_MAX_DEPTH - 1, '}');
  const struct {
    std::string text;
    bool parses;
  } rows[] = {
      {"{\"a\":[1,-2.5e3,true,false,null,\"\\u00e9\\ud83d\\ude00\"]}", true}, {" {} ", true}, {deep, true},
      {deeper, false}, {objects, true}, {more_objects, false},
      {"{\"a\":1,}", false}, {"[1 2]", false}, {"{} x", false}, {"\"\\x\"", false},
      {"\"\\ud83d\"", false}, {"\"\\ude00\"", false}, {"\"a\nb\"", false}, {"01", false}, {"1.", false},
      {"-", false}, {"\"open", false}, {"", false}, {"tru", false}, {"\"\xc3\xa9\xf0\x9f\x98\x80\"", true},
      {"\"\xf0\x90\x80\x80\"", true},
      {"\"\xf0\x8f\xbf\xbf\"", false}, {"\"\xff\"", false}, {"\"\xc3\"", false}, {"\"\xed\xa0\x80\"", false},
      {"\"\xc0\xaf\"", false},
  };
  for (const auto& r : rows) {
    json_value v;
    EXPECT_EQ(r.parses, parse_json(r.text, &v)) << r.text;
  }
  json_value v;
  ASSERT_TRUE(parse_json("{\"s\":\"\\u00e9\\ud83d\\ude00\\/\",\"n\":31,\"f\":1.5}", &v));
  EXPECT_EQ("\xc3\xa9\xf0\x9f\x98\x80/", v.string_member("s"));
  EXPECT_EQ(31, v.integer_member("n", 0, 31, -1));
  EXPECT_EQ(-1, v.integer_member("n", 0, 30, -1));
  EXPECT_EQ(-1, v.integer_member("f", 0, 31, -1));
  EXPECT_EQ(-1, v.integer_member("s", 0, 31, -1));
}

}  // namespace
