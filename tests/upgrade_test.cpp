// flash_x3 end to end, as the web server runs it, against scan_sim: a form
// and an image on standard input, faults injected into the cards, and the
// page, the diagnostics, the exit status and every ticked card's flash
// checked afterwards.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "common/crc32.h"

#include "tests/support/minisign.h"
#include "tests/support/scan_sim_fixture.h"

namespace {

const std::string PAGE_HEAD =
    "Content-type: text/html\n\n<html>\n<head><link rel=\"stylesheet\" type=\"text/css\" "
    "href=\"/style.css\"></head><body>\n<div id=\"top\"><h1><a href=\"/index.html\">Telvane Switch</a> "
    ": <a href=\"/cgi/web.cgi?upgrade_x3\">Upgrade X3 Firmware </a> : results</h1><div id=\"center\"><pre>";
const std::string PAGE_FOOT = "</body>\n</html>\n";
const std::string FAILED = "The upgrade failed.<br>";

std::string success(const std::string& cards) {
  return "The upgrade was successful. " + cards + " re-flashed.<br> \n";
}

// What a row expects of the ticked cards, in slot order: the first
// `flashed` hold the image in `bank` with `generation` (-1: none written)
// and restarted from bank `booted` (-1: not restarted); the others still
// start their previous firmware, unchanged.
struct outcome {
  size_t flashed;
  int bank, generation, booted;
};
const outcome KEPT = {0, 0, -1, -1};
const outcome NEW = {1, 1, 2, -1};  // the new firmware complete in bank 1, not restarted

struct upgrade_case {
  std::string what;
  std::vector<int> slots;  // ticked, in the order of the form
  const firmware* image;   // what the flashed cards hold afterwards
  std::string file;        // the uploaded S-records
  std::vector<std::string> faults;
  std::string page;  // between the page head and foot
  std::string err;
  outcome expect;
  uint8_t lo = 1, hi = 0xFF;  // generation bytes before: bank 0 holds the previous firmware
  int status = 0;
  bool released = true;               // the service is free afterwards
  bool held = false;                  // another client holds the service during the run
  std::vector<std::string> env = {};  // instead of CONTENT_TYPE and the lock
  std::string body = "";              // instead of the form
  std::string keys = "";              // the trusted-keys file, when there is one
  // The history: the step that failed on the faulty card (slot of the
  // first fault), whether the run got as far as the lock and so is
  // recorded, and what the history file held before.
  std::string step = "";
  bool recorded = true;
  std::string history_before = "";
  std::string signed_by = "";
  std::string history_file = "";  // instead of the test's own
};

upgrade_case failing_at(upgrade_case c, const std::string& step) {
  c.step = step;
  return c;
}

// The history records flash_x3 should have written for `c`, with every
// "run" and "time" value as R and T. Who asked comes from the web server.
const char WHO[] = ",\"user\":\"oper\\\"ator\",\"address\":\"192.0.2.7\"";
std::string expected_records(const upgrade_case& c) {
  if (!c.recorded) return "";
  std::vector<int> slots = c.slots;
  std::sort(slots.begin(), slots.end());
  std::vector<uint8_t> bank(0x80000, 0xFF);
  for (const auto& entry : *c.image) bank[entry.first] = entry.second;
  char image[160];
  snprintf(image, sizeof image, "\"image\":{\"bytes\":%zu,\"lowest\":\"0x%05x\",\"highest\":\"0x%05x\",\"crc32\":\"%08x\"}",
           c.image->size(), c.image->begin()->first, c.image->rbegin()->first, crc32(bank.data(), bank.size()));
  std::string list, results;
  const int failing = c.step.empty() ? -1 : c.faults.empty() ? slots.at(0) : std::stoi(c.faults.at(0).substr(5));
  const bool success = c.page.find("successful") != std::string::npos;
  bool reached = c.page.find("grab failed.") == std::string::npos;
  for (int slot : slots) {
    list += (list.empty() ? "" : ",") + std::to_string(slot);
    std::string result = "\"not attempted\"";
    if (slot == 0 && reached) {
      result = "\"failed\",\"message\":\"assertion failed. flash_x3:510 (slot)\"";
      reached = false;
    } else if (slot == failing) {
      std::string message = c.err.substr(0, c.err.find_last_not_of(" \n") + 1);
      result = "\"failed\",\"step\":\"" + c.step + "\"" + (message.empty() ? "" : ",\"message\":\"" + message + "\"");
      reached = false;
    } else if (reached && (success || failing >= 0)) {
      result = "\"re-flashed\",\"bank\":" + std::to_string(c.expect.bank) +
               (c.expect.generation >= 0 ? ",\"generation\":" + std::to_string(c.expect.generation) : "");
    }
    results += std::string(results.empty() ? "" : ",") + "{\"slot\":" + std::to_string(slot) + ",\"result\":" + result + "}";
  }
  const std::string outcome = success ? c.page.substr(0, c.page.find("<br>")) : "The upgrade failed.";
  std::string reason;
  for (const char* line : {"grab failed.", "release failed."})
    if (c.page.find(line) != std::string::npos) reason = line;
  const size_t after = c.page.find(FAILED) + FAILED.size();
  if (!success && after < c.page.size()) reason = c.page.substr(after, c.page.size() - after - 1);
  return "{\"record\":\"begin\",\"run\":R,\"time\":T,\"program\":\"flash_x3\"" + std::string(WHO) + "," + image +
         (c.signed_by.empty() ? "" : ",\"signed_by\":\"" + c.signed_by + "\"") + ",\"slots\":[" + list + "]}\n" +
         "{\"record\":\"end\",\"run\":R,\"time\":T,\"slots\":[" + results + "],\"outcome\":\"" + outcome + "\"" +
         (reason.empty() ? "" : ",\"reason\":\"" + reason + "\"") + "}\n";
}

// Where flash_x3's progress file leaves `c` at its end: the last slot and
// step it began, and the outcome; "" when the run never got as far as the
// lock, so that there is no file.
std::string expected_progress(const upgrade_case& c) {
  if (!c.recorded && c.history_file.empty()) return "";  // (an unwritable history stops no progress)
  std::vector<int> slots = c.slots;
  std::sort(slots.begin(), slots.end());
  const bool success = c.page.find("successful") != std::string::npos;
  std::string last = "\"slot\":null,\"step\":null";
  if (!c.step.empty()) {
    last = "\"slot\":" + (c.faults.empty() ? std::to_string(slots.at(0)) : c.faults.at(0).substr(5, 1)) +
           ",\"step\":\"" + c.step + "\"";
  } else if (success) {
    last = "\"slot\":" + std::to_string(slots.back()) + ",\"step\":\"reboot_card\"";
  }
  return last + " finished: " + (success ? c.page.substr(0, c.page.find("<br>")) : "The upgrade failed.");
}

// The same from the file.
std::string final_progress(const std::string& text) {
  static const std::regex fields(
      "\\{.*(\"slot\":[^,]*),\"index\":[^,]*,(\"step\":[^,]*),.*\"finished\":true,\"outcome\":\"([^\"]*)\"\\}\n");
  std::smatch m;
  if (text.empty() || !std::regex_match(text, m, fields)) return text;
  return m[1].str() + "," + m[2].str() + " finished: " + m[3].str();
}

// `history` with its run names and times as R and T, once each is seen to
// be well formed and the end names the begin's run.
std::string masked(const std::string& history) {
  static const std::regex stamp("\"run\":\"(\\d{8}T\\d{6}Z-\\d+)\",\"time\":\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ\"");
  std::vector<std::string> runs;
  for (std::sregex_iterator m(history.begin(), history.end(), stamp), end; m != end; ++m) runs.push_back((*m)[1]);
  if (runs.size() == 2) {
    EXPECT_EQ(runs[0], runs[1]) << "the end names another run";
  }
  return std::regex_replace(history, stamp, "\"run\":R,\"time\":T");
}

// The flash of a card that held `before` once `image` went into `bank`:
// every sector the image touches erased and programmed, then the
// generation byte (-1: none).
std::vector<uint8_t> flashed(std::vector<uint8_t> before, int bank, const firmware& image,
                             int generation) {
  const uint32_t base = X3_BANK_BASE[bank];
  for (const auto& entry : image) {
    std::fill_n(before.begin() + base + entry.first / X3_SECTOR_SIZE * X3_SECTOR_SIZE, X3_SECTOR_SIZE, 0xFF);
  }
  for (const auto& entry : image) before[base + entry.first] = entry.second;
  if (generation >= 0) before[base + X3_GENERATION_OFFSET] = generation;
  return before;
}

class Upgrade : public ScanSimTest {
 protected:
  // Old firmware in both banks: 0x11 in bank 0, 0x22 in bank 1 (which wins
  // the shared sector 0x70000), generation bytes `lo` and `hi`.
  std::vector<uint8_t> install_old_firmware(int slot, uint8_t lo, uint8_t hi) const {
    auto state = card(slot);
    memset(state->flash, 0x11, 0x70000);
    memset(state->flash + 0x70000, 0x22, 0x80000);
    state->flash[0x10000] = lo;
    state->flash[0x80000] = hi;
    state->boot.boot_count = 0;
    return {state->flash, state->flash + X3_FLASH_SIZE};
  }

  // Runs flash_x3 as the web server would for `c` and checks the page, the
  // diagnostics, the exit status, the service and every ticked card.
  void run(const upgrade_case& c) {
    SCOPED_TRACE(c.what);
    std::vector<int> cards;
    std::copy_if(c.slots.begin(), c.slots.end(), std::back_inserter(cards), [](int s) { return s != 0; });
    std::sort(cards.begin(), cards.end());
    std::vector<std::vector<uint8_t>> before;
    std::vector<uint32_t> booting;  // the bank each card starts before the run
    for (int slot : cards) {
      before.push_back(install_old_firmware(slot, c.lo, c.hi));
      booting.push_back(x3_card_t::bank_to_boot(*card(slot)));
    }
    start_sim(c.faults);
    test_scan_client_t other(J5_SCAN_PORT, J5_SCAN_ID_PROG_X3FLASH);
    if (c.held) {
      ASSERT_EQ(1, other.grab());
    }
    std::vector<std::string> env = {"CONTENT_TYPE=" + form_content_type(), lock_setting()};
    if (!c.keys.empty()) env.push_back("X3_TRUSTED_KEYS=" + c.keys);
    env = c.env.empty() ? env : c.env;
    const std::string history = c.history_file.empty() ? dir_ + "/history.jsonl" : c.history_file;
    unlink(history.c_str());
    if (!c.history_before.empty()) write_file(history, c.history_before);
    const std::string progress = dir_ + "/progress.json";
    unlink(progress.c_str());
    env.insert(env.end(), {"X3_HISTORY=" + history, "X3_PROGRESS=" + progress, "REMOTE_USER=oper\"ator",
                           "REMOTE_ADDR=192.0.2.7"});
    process_result r = run_process(target_program(FLASH_X3_PATH),
                                   c.body.empty() ? multipart_form(c.slots, c.file) : c.body,
                                   env);
    if (c.held) {
      EXPECT_EQ(1, other.release());
    }
    EXPECT_EQ(PAGE_HEAD + c.page + (c.status == 0 ? PAGE_FOOT : ""), r.out);
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.released, service_is_free());
    EXPECT_EQ(expected_progress(c), final_progress(read_file(progress)));
    const std::string records = expected_records(c);
    const bool cut = !c.history_before.empty() && c.history_before.back() != '\n';
    if (c.history_before.size() + records.size() <= 512 * 1024) {
      EXPECT_EQ(c.history_before + (cut ? "\n" : "") + records, masked(read_file(history)));
    } else {
      // Trimmed: the newest whole lines, then this run's records.
      const std::string now = read_file(history);
      EXPECT_LE(now.size(), 512u * 1024);
      EXPECT_GT(now.size() - records.size(), 256u * 1024 - 1024);  // the newest 256 KiB of whole lines
      EXPECT_EQ(0u, now.find("{\"record\""));
      EXPECT_EQ(records, masked(now.substr(now.rfind("{\"record\":\"begin\""))));
    }
    stop_sim();
    for (size_t i = 0; i < cards.size(); i++) {
      SCOPED_TRACE(testing::Message() << "slot " << cards[i]);
      auto state = card(cards[i]);
      if (i < c.expect.flashed) {
        const auto expected = flashed(before[i], c.expect.bank, *c.image, c.expect.generation);
        const auto differ = std::mismatch(expected.begin(), expected.end(), state->flash).first;
        EXPECT_TRUE(differ == expected.end()) << std::hex << "flash differs at 0x" << differ - expected.begin();
        EXPECT_EQ(c.expect.booted >= 0 ? 1u : 0u, state->boot.boot_count);
        if (c.expect.booted >= 0) {
          EXPECT_EQ(uint32_t(c.expect.booted), state->boot.booted_bank);
        }
        continue;
      }
      // A restart still starts the bank it started before, and that bank,
      // apart from the sector the banks share, is unchanged.
      EXPECT_EQ(booting[i], x3_card_t::bank_to_boot(*state));
      const uint32_t from = booting[i] == 0 ? 0 : X3_BANK_BASE[1] + X3_SECTOR_SIZE;
      EXPECT_TRUE(std::equal(before[i].begin() + from, before[i].begin() + from + 0x70000, state->flash + from));
      EXPECT_EQ(0u, state->boot.boot_count);
    }
  }
};

TEST_F(Upgrade, PagesDiagnosticsAndFlash) {
  // Data in sectors 0, 1 and 3 (none at the generation byte 0x10000), a
  // partial row, rows of explicit 0xFF bytes: a whole row apart, and one
  // between two rows that are 0xFF in part.
  firmware standard;
  add_random_bytes(standard, 0x00000, 0x2000, 1);
  add_random_bytes(standard, 0x10100, 0x1F00, 2);
  add_random_bytes(standard, 0x30000, 0x0155, 3);
  for (uint32_t k = 0; k < 0x100; k++) standard[0x31000 + k] = 0xFF;
  for (uint32_t k = 0x10F0; k < 0x1230; k++) standard[k] = 0xFF;
  const std::string file = s_records(standard);
  // A row of bytes 00..1F at 0x10100 and two rows of explicit 0xFF at
  // 0x20000, which are erased and verified but never written. Into bank 1:
  // read#1 and read#2 take the generation bytes, two erases, write#1 and
  // read#3 for the row, read#4 and read#5 for the 0xFF rows, then the
  // generation byte at 0x80000 (write#2, read#6).
  firmware row;
  for (uint32_t k = 0; k < 0x20; k++) row[0x10100 + k] = k;
  for (uint32_t k = 0; k < 0x200; k++) row[0x20000 + k] = 0xFF;
  const std::string row_file = s_records(row);
  firmware low;  // below 64 KiB: no generation byte written
  add_random_bytes(low, 0x0100, 0x3000, 4);
  firmware unerased;  // sectors 0 and 2: the generation byte's sector is not erased
  add_random_bytes(unerased, 0x00000, 0x800, 5);
  add_random_bytes(unerased, 0x20000, 0x800, 6);
  // The longest record the loader's line buffer holds: count 253, 510
  // characters and CR LF.
  firmware longest;
  add_random_bytes(longest, 0x100, 3 * 248, 31);
  const std::string longest_line = s3_record(0x100, std::vector<uint8_t>(248, 0x5A));
  // Seven records of 29 bytes and a carriage return fill the 511
  // characters the buffer takes, so every piece starts with a record.
  std::string cr_only;
  for (uint32_t r = 0; r < 14; r++) cr_only += s3_record(29 * r, std::vector<uint8_t>(29, r)) + "\r";
  cr_only += "S70500000000FA\r";
  std::string bad_checksum = file;
  const size_t first = bad_checksum.find("S3"), line_end = bad_checksum.find("\r\n", first);
  bad_checksum[line_end - 1] ^= 1;
  char stuck_line[32];
  snprintf(stuck_line, sizeof stuck_line, "buf: %x != flash: ff\n", standard.at(0x10));
  const std::string ok = success("1 card");
  // The body x3image makes for three slots, as a browser posts it.
  write_file(dir_ + "/x3.s19", s_records(standard, 16));
  const std::string x3image_form = run_process(target_program(X3IMAGE_PATH, {"form", dir_ + "/x3.s19",
      "--slots", "31,2,1", "--boundary", "b-1971"}), "").out;

  // The bank with the older generation gets the next one; 255 and 0 are
  // no generation, and 254 is followed by 1.
  auto pair = [&](uint8_t lo, uint8_t hi, int bank, int generation) {
    return upgrade_case{"generations " + std::to_string(lo) + " " + std::to_string(hi), {1},
                        &standard, file, {}, ok, "", {1, bank, generation, bank}, lo, hi};
  };
  // A fault in card 3's flashing: its message, the previous firmware kept
  // (or, once the new generation byte landed, the new one complete), the
  // service released.
  auto fault = [&](const std::string& fault, const std::string& step, const std::string& err,
                   outcome expect = KEPT, const std::string& page = FAILED) {
    return failing_at({fault, {3}, &row, row_file, {"slot=3 " + fault}, page, err, expect}, step);
  };
  auto cut = [&](const std::string& command, const std::string& step, const std::string& err, outcome expect) {
    return failing_at({command + " power cut", {3}, &row, row_file, {"slot=3 " + command + " power-cut"},
                       "release failed.\n" + FAILED, err, expect, 1, 0xFF, 0, false}, step);
  };
  // A run that ends before any card is flashed, with the form or `body`
  // and the standard environment or `env`.
  auto refused = [&](const std::string& what, const std::string& file, const std::string& page,
                     const std::string& err = "", int status = 0, std::vector<std::string> env = {},
                     const std::string& body = "") {
    upgrade_case c{what, {3}, &row, file, {}, page, err, KEPT, 1, 0xFF, status, true, false, env, body};
    c.recorded = false;
    return c;
  };
  const upgrade_case cases[] = {
      pair(0xFF, 0xFF, 0, 1), pair(0x00, 0xFF, 0, 1), pair(3, 3, 1, 4), pair(3, 7, 0, 8),
      pair(7, 0xFF, 1, 8), pair(254, 1, 0, 2), pair(1, 254, 1, 2), pair(254, 254, 1, 1),
      pair(254, 0xFF, 1, 1), pair(0xFF, 254, 0, 1), pair(253, 252, 1, 254),
      {"x3image's form for three cards, 16-byte records", {31, 2, 1}, &standard, "", {}, success("3 cards"),
       "", {3, 0, 8, 0}, 3, 7, 0, true, false,
       {"CONTENT_TYPE=multipart/form-data; boundary=b-1971", lock_setting()}, x3image_form},
      {"image below 64 KiB", {1}, &low, s_records(low), {}, ok, "", {1, 1, -1, 0}, 5, 0xFF},
      {"count 253 with CR LF", {3}, &longest, s_records(longest, 248), {}, ok, "", {1, 1, -1, 0}},
      fault("grab#1 reply=0000", "grab_flash", "Error grabbing flash.\n"),
      fault("grab#1 reply=01", "grab_flash", "Error2 grabbing flash.\n"),
      fault("read#1 length=-1", "select_bank", "error reading lo_val.\n"),
      fault("read#2 length=0", "select_bank", "error reading hi_val.\n"),
      fault("erase#1 reply=00", "erase_flash", "Erase failed\n"),
      fault("erase-busy=3 status#2 drop", "erase_flash", "Erase failed\n"),
      fault("status#1 reply=5050", "erase_flash", "Erase failed\n"),
      fault("erase-fails", "erase_flash", "Erase failed - flash error\n"),
      fault("write#1 drop", "program_flash", "Program failed1 - 0        \n"),
      fault("write#1 reply=46", "program_flash", "Program failed2 - 1 70      \n"),
      fault("write#1 reply=5050", "program_flash", "Program failed2 - 2 80      \n"),
      fault("write#1 length=0", "program_flash", "Program failed2 - 0 0      \n"),
      fault("read#3 length=-1", "verify_flash", ""),
      fault("stuck=0x80102:01", "verify_flash", "Verify error at address 0x80102\n", KEPT, "buf: 2 != flash: 3\n" + FAILED),
      fault("write#2 reply=46", "write_bootval", "Error programming bootval.\n"),
      fault("read#6 length=-1", "write_bootval", "Error reading bootval.\n", NEW),
      fault("stuck=0x80000:fd", "write_bootval", "Bootval verify error! (FF != 02)\n"),
      fault("reboot#1 reply=00", "reboot_card", "Error rebooting card.\n", NEW),
      // The scan service's power cut at each step: the previous firmware
      // boots until the new generation byte has landed, the new one after;
      // the service is gone and cannot take the release either.
      cut("read#1", "select_bank", "error reading lo_val.\n", KEPT),
      cut("erase#1", "erase_flash", "Erase failed\n", KEPT),
      cut("write#1", "program_flash", "Program failed1 - 0        \n", KEPT),
      cut("read#3", "verify_flash", "", KEPT),
      cut("write#2", "write_bootval", "Error programming bootval.\n", KEPT),
      cut("read#6", "write_bootval", "Error reading bootval.\n", NEW),
      cut("reboot#1", "reboot_card", "Error rebooting card.\n", NEW),
      // NOR flash only clears bits: 5 programmed over the old 3 reads 1.
      failing_at({"generation over an unerased one", {3}, &unerased, s_records(unerased), {}, FAILED,
                  "Bootval verify error! (01 != 05)\n", KEPT, 3, 4}, "write_bootval"),
      failing_at({"a failing card stops the run", {4, 3, 1}, &standard, file, {"slot=3 stuck=0x70010:ff"},
                  stuck_line + FAILED, "Verify error at address 0x70010\n", {1, 1, 2, 1}}, "verify_flash"),
      {"service held by another client", {3}, &row, row_file, {}, "grab failed.\n" + FAILED, "", KEPT,
       1, 0xFF, 0, true, true},
      {"slot 0", {3, 0}, &row, row_file, {}, FAILED + "assertion failed. flash_x3:510 (slot)\n", "",
       KEPT, 1, 0xFF, 0, false},
      {"no slot ticked", {}, &row, row_file, {}, FAILED, "", KEPT},
      refused("checksum", bad_checksum, "Checksum error on line:\n" +
                                            bad_checksum.substr(first, line_end + 2 - first) + "\n" + FAILED),
      refused("no end record", "S1130000000102030405060708090A0B0C0D0E0F74\r\n",
              "Missing S7/S9 termination record\n" + FAILED),
      refused("carriage returns alone", cr_only,
              "Checksum error on line:\n" + cr_only.substr(0, 511) + "\n" + FAILED),
      refused("record and blanks past the line buffer", longest_line + "\r    \r\nS70500000000FA\r\n",
              "Checksum error on line:\n" + longest_line + "\r\n" + FAILED),
      refused("byte beyond the bank", s3_record(0x7FFFF, {1, 2}) + "\r\nS70500000000FA\r\n",
              "OutOfRange\n", "", 255),
      refused("not octet-stream", file, FAILED + "malformed upload stream\n", "", 0, {},
              multipart_form({3}, file, "text/x-srecord")),
      refused("no boundary", file, FAILED + "assertion failed. j5_uploader:36 (boundary)\n", "", 0,
              {"CONTENT_TYPE=multipart/form-data", lock_setting()}),
      refused("empty content type", file, FAILED + "assertion failed. j5_uploader:33 (this && content_type "
              "&& *content_type)\n", "", 0, {"CONTENT_TYPE=", lock_setting()}),
      refused("no content type", file, FAILED + "assertion failed. flash_x3:475 (s)\n", "", 0, {lock_setting()}),
      refused("lock file cannot be opened", file, "lock failed.\n" + FAILED,
              "cannot take the upgrade lock /nonexistent/x3.lock: No such file or directory\n", 0,
              {"X3_UPGRADE_LOCK=/nonexistent/x3.lock", "CONTENT_TYPE=" + form_content_type()}),
  };
  for (const upgrade_case& c : cases) run(c);

  // The history beside the run: never in its way, and kept in bounds.
  upgrade_case unwritable{"history cannot be written", {1}, &standard, file, {}, ok,
                          "upgrade history /nonexistent/history.jsonl: cannot open it: No such file or directory\n",
                          {1, 1, 2, 1}};
  unwritable.history_file = "/nonexistent/history.jsonl";
  unwritable.recorded = false;
  upgrade_case after_cut{"history with a cut last line", {1}, &standard, file, {}, ok, "", {1, 1, 2, 1}};
  after_cut.history_before = "{\"record\":\"end\",\"run\":R,\"time\":T,\"slots\":[{\"slot\":1,\"res";
  upgrade_case full{"history at its limit", {1}, &standard, file, {}, ok, "", {1, 1, 2, 1}};
  const std::string old_run = "{\"record\":\"begin\",\"run\":\"old\",\"image\":{\"crc32\":\"00000000\"}," +
                              std::string(800, ' ') + "\"slots\":[1]}\n";
  while (full.history_before.size() < 512 * 1024 - 300) full.history_before += old_run;
  for (const upgrade_case& c : {unwritable, after_cut, full}) run(c);
}

// With a trusted-keys file the switch flashes only images that a key in it
// signed, and refuses the rest before it takes the lock or the service.
TEST_F(Upgrade, SignedImages) {
  const std::string a = dir_ + "/a", b = dir_ + "/b", stranger = dir_ + "/stranger";
  for (const std::string& base : {a, b, stranger}) make_minisign_keys(base);
  const std::string trusted = dir_ + "/trusted-keys", empty_keys = dir_ + "/empty-keys";
  write_file(trusted, read_file(a + ".pub") + read_file(b + ".pub"));
  write_file(empty_keys, "");
  firmware image;
  add_random_bytes(image, 0, 0x12000, 41);
  image[0x10000] = 0xFF;  // the generation byte stays the card's
  const std::string crlf = s_records(image);
  std::string lf = crlf;
  lf.erase(std::remove(lf.begin(), lf.end(), '\r'), lf.end());
  const auto x3image = [&](const std::vector<std::string>& args) {
    const process_result r = run_process(target_program(X3IMAGE_PATH, args), "");
    EXPECT_EQ(0, r.status) << r.out << r.err;
  };
  // `text` signed by `key`: by x3image, or by minisign and attached.
  int files = 0;
  auto signed_by = [&](const std::string& text, const std::string& key, bool by_minisign,
                       const std::string& comment = "x3 test image") {
    const std::string file = dir_ + "/image" + std::to_string(++files) + ".s19";
    write_file(file, text);
    if (by_minisign) {
      minisign_sign(file, key + ".key", comment);
      x3image({"attach", file, file + ".minisig", "-o", file + ".signed"});
    } else {
      x3image({"sign", file, "--key", key + ".key", "--comment", comment, "-o", file + ".signed"});
    }
    return read_file(file + ".signed");
  };
  const std::string signed_lf = signed_by(lf, a, true);
  // One data byte changed, with its record's checksum made right again.
  std::vector<uint8_t> row(32);
  for (uint32_t k = 0; k < 32; k++) row[k] = image.at(0x40 + k);
  std::string changed = signed_lf;
  const std::string record = s3_record(0x40, row);
  row[5] ^= 0x01;
  changed.replace(changed.find(record), record.size(), s3_record(0x40, row));
  std::string added = signed_lf;
  added.insert(added.find("S7"), s3_record(0x20000, {1, 2, 3}) + "\n");
  // A digit of the second signature record, its checksum left as it was.
  const std::string tag = "583353494731";  // SIGNATURE_TAG in hex
  std::string damaged = signed_lf;
  const size_t second = damaged.find(tag, damaged.find(tag) + 1) + tag.size();
  damaged[second] = damaged[second] == '4' ? '5' : '4';
  // The trusted comment of a good signature replaced, its signature kept.
  const std::string minisig = dir_ + "/comment.minisig", original = dir_ + "/comment.s19";
  write_file(original + ".before", signed_lf);
  x3image({"payload", original + ".before", "-o", original, "--minisig", minisig});
  std::string forged = read_file(minisig);
  forged.replace(forged.find("x3 test image"), 13, "x3 best image");
  write_file(minisig, forged);
  x3image({"attach", original, minisig, "-o", original + ".signed"});
  const std::string a_id = minisign_key_id(a), stranger_id = minisign_key_id(stranger);

  const outcome done = {1, 1, 2, 1};
  auto accepted = [&](const std::string& what, const std::string& file, const std::string& keys,
                      const std::string& signer) {
    upgrade_case c{what, {3}, &image, file, {}, success("1 card"), "", done, 1, 0xFF, 0, true, false, {}, "", keys};
    c.signed_by = signer;
    return c;
  };
  auto refused = [&](const std::string& what, const std::string& file, const std::string& line,
                     const std::string& detail, const std::string& keys) {
    upgrade_case c{what, {3}, &image, file, {}, line + "\n" + FAILED, "image signature: " + detail + "\n",
                   KEPT, 1, 0xFF, 0, true, false, {}, "", keys};
    c.recorded = false;
    return c;
  };
  const std::string altered = "Refused: the signature does not match the image.";
  const std::string no_keys =
      "Refused: the switch's trusted-keys file cannot be read or holds no key, so no image is accepted.";
  const upgrade_case cases[] = {
      accepted("signed by minisign and attached, LF", signed_lf, trusted, a_id),
      accepted("signed by x3image with the second key, CR LF", signed_by(crlf, b, false), trusted,
               minisign_key_id(b)),
      accepted("signed, no trusted-keys file", signed_lf, "", ""),
      refused("unsigned", crlf, "Refused: the image is not signed, and this switch accepts signed images only.",
              "the image carries no signature", trusted),
      refused("a data byte changed", changed, altered,
              "the signature by key " + a_id + " does not match the image", trusted),
      refused("a record added after signing", added, altered,
              "the signature by key " + a_id + " does not match the image", trusted),
      refused("a signature record changed", damaged, "Refused: the image's signature cannot be read.",
              "signature record 2 has a wrong count or checksum", trusted),
      refused("the trusted comment changed", read_file(original + ".signed"),
              "Refused: the signature's trusted comment was altered.",
              "the trusted comment \"x3 best image\" does not match its signature by key " + a_id, trusted),
      refused("signed by a key the switch does not trust", signed_by(lf, stranger, false),
              "Refused: the image is signed by key " + stranger_id + ", which this switch does not trust.",
              "signed by key " + stranger_id + ", which is not a trusted key", trusted),
      refused("empty trusted-keys file", signed_lf, no_keys,
              "trusted keys " + empty_keys + ": it holds no public key", empty_keys),
      refused("trusted-keys file missing", signed_lf, no_keys,
              "trusted keys " + dir_ + "/missing: cannot open it: No such file or directory", dir_ + "/missing"),
  };
  for (const upgrade_case& c : cases) run(c);
}

}  // namespace
