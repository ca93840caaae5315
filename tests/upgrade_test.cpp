// flash_x3 end to end, as the web server runs it, against scan_sim: a form
// and an image on standard input, faults injected into the card, and the
// page, the diagnostics, the exit status and every ticked card's flash
// checked afterwards.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/scan_sim_fixture.h"

namespace {

const std::string PAGE_HEAD =
    "Content-type: text/html\n\n"
    "<html>\n"
    "<head><link rel=\"stylesheet\" type=\"text/css\" href=\"/style.css\"></head>"
    "<body>\n"
    "<div id=\"top\"><h1><a href=\"/index.html\">Telvane Switch</a> : "
    "<a href=\"/cgi/web.cgi?upgrade_x3\">Upgrade X3 Firmware </a> : results</h1>"
    "<div id=\"center\"><pre>";
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

struct upgrade_case {
  const char* what;
  std::vector<int> slots;  // ticked, in the order of the form
  const firmware* image;   // what the flashed cards hold afterwards
  std::string file;        // the uploaded S-records
  std::vector<std::string> faults;
  std::string page;  // between the page head and foot
  std::string err;
  outcome expect;
  uint8_t lo = 1, hi = 0xFF;  // generation bytes before: bank 0 is the previous firmware
  int status = 0;
  bool released = true;                // the service is free afterwards
  bool held = false;                   // another client holds the service during the run
  std::vector<std::string> env = {};   // instead of CONTENT_TYPE and the lock
  std::string body = "";               // instead of the form
};

// Data in sectors 0, 1 and 3 (none at the generation byte 0x10000), a row
// of explicit 0xFF bytes, a partial row.
firmware standard_image() {
  firmware image;
  add_random_bytes(image, 0x00000, 0x2000, 1);
  add_random_bytes(image, 0x10100, 0x1F00, 2);
  add_random_bytes(image, 0x30000, 0x0155, 3);
  for (uint32_t k = 0; k < 0x100; k++) image[0x31000 + k] = 0xFF;
  return image;
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

  // Every sector of `bank` that the image touches holds it (0xFF where it
  // has no byte), its generation byte `generation`; all else as `before`.
  static void expect_flashed(const x3_card_state& card, const std::vector<uint8_t>& before,
                             int bank, const firmware& image, int generation) {
    const uint32_t base = X3_BANK_BASE[bank];
    std::vector<bool> touched(8);
    for (const auto& entry : image) touched[entry.first / X3_SECTOR_SIZE] = true;
    int mismatches = 0;
    for (uint32_t a = 0; a < X3_FLASH_SIZE && mismatches < 5; a++) {
      int expected = before[a];
      if (a >= base && a < base + X3_BANK_SIZE && touched[(a - base) / X3_SECTOR_SIZE]) {
        auto it = image.find(a - base);
        expected = it == image.end() ? 0xFF : it->second;
      }
      if (a == base + X3_GENERATION_OFFSET && generation >= 0) expected = generation;
      if (card.flash[a] != expected) {
        ADD_FAILURE() << std::hex << "flash[0x" << a << "] = 0x" << int(card.flash[a])
                      << ", expected 0x" << expected;
        mismatches++;
      }
    }
  }

  // A restart still starts the bank it started before, and that bank,
  // apart from the sector the banks share, is as `before`.
  static void expect_kept(const x3_card_state& card, const std::vector<uint8_t>& before,
                          uint32_t bank) {
    EXPECT_EQ(bank, x3_card_t::bank_to_boot(card));
    const uint32_t from = bank == 0 ? 0 : X3_BANK_BASE[1] + X3_SECTOR_SIZE;
    EXPECT_TRUE(std::equal(before.begin() + from, before.begin() + from + 0x70000, card.flash + from));
    EXPECT_EQ(0u, card.boot.boot_count);
  }
};

TEST_F(Upgrade, PagesDiagnosticsAndFlash) {
  const firmware standard = standard_image();
  const std::string file = s_records(standard);
  // One row of bytes 00..1F at 0x10100: into bank 1 that is one erase,
  // write#1 and read#3 for the row, then the generation byte at 0x80000
  // (write#2, read#4); read#1 and read#2 take the two generation bytes.
  firmware row;
  for (uint32_t k = 0; k < 0x20; k++) row[0x10100 + k] = k;
  const std::string row_file = s_records(row);
  // Two rows of explicit 0xFF and one of data: the 0xFF rows are erased and
  // verified but never written, so a third write would be one too many.
  firmware ff_rows;
  for (uint32_t k = 0; k < 0x200; k++) ff_rows[0x20000 + k] = 0xFF;
  ff_rows[0x40000] = 0x42;
  firmware low;  // below 64 KiB: no generation byte written
  add_random_bytes(low, 0x0100, 0x3000, 4);
  // Sectors 0 and 2 only: the generation byte's sector is not erased.
  firmware unerased;
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
  // Images that the standard tools make from a binary: objcopy with 32-byte
  // records at 0x20000; srec_cat with two holes, 0xFF at the generation
  // byte's place and 0xFF runs over a row and across a row boundary.
  firmware shifted, holey;
  add_random_bytes(shifted, 0x20000, 200 * 1024, 7);
  add_random_bytes(holey, 0, 400 * 1024, 8);
  for (uint32_t k = 0x5000; k < 0x5100; k++) holey[k] = 0xFF;
  for (uint32_t k = 0x60F0; k < 0x6230; k++) holey[k] = 0xFF;
  holey[0x10000] = 0xFF;
  for (const firmware* image : {&shifted, &holey}) {
    std::string binary;
    for (const auto& entry : *image) binary += char(entry.second);
    write_file(dir_ + (image == &shifted ? "/shifted.bin" : "/holey.bin"), binary);
  }
  tool({"/usr/bin/objcopy", "-I", "binary", "-O", "srec", "--srec-forceS3", "--srec-len=32",
        "--change-addresses", "0x20000", dir_ + "/shifted.bin", dir_ + "/shifted.s19"});
  tool({"/usr/bin/srec_cat", dir_ + "/holey.bin", "-binary", "-exclude", std::to_string(0x8000),
        std::to_string(0x9010), "-exclude", std::to_string(0x30000), std::to_string(0x48000), "-o",
        dir_ + "/holey.s19", "-motorola", "-address-length=4", "-execution-start-address=0"});
  for (uint32_t a = 0x8000; a < 0x9010; a++) holey.erase(a);
  for (uint32_t a = 0x30000; a < 0x48000; a++) holey.erase(a);
  char stuck_line[32];
  snprintf(stuck_line, sizeof stuck_line, "buf: %x != flash: ff\n", standard.at(0x10));
  const std::string ok = success("1 card");
  const std::vector<std::string> no_lock = {std::string(UPGRADE_LOCK_VARIABLE) + "=/nonexistent/x3.lock",
                                            "CONTENT_TYPE=" + form_content_type()};

  const upgrade_case cases[] = {
      // The bank with the older generation gets the next one; 255 and 0 are
      // no generation, and 254 is followed by 1.
      {"blank card", {1}, &standard, file, {}, ok, "", {1, 0, 1, 0}, 0xFF, 0xFF},
      {"0 and none", {1}, &standard, file, {}, ok, "", {1, 0, 1, 0}, 0x00, 0xFF},
      {"3 and 3", {1}, &standard, file, {}, ok, "", {1, 1, 4, 1}, 3, 3},
      {"3 and 7", {1}, &standard, file, {}, ok, "", {1, 0, 8, 0}, 3, 7},
      {"7 and none", {1}, &standard, file, {}, ok, "", {1, 1, 8, 1}, 7, 0xFF},
      {"254 and 1", {1}, &standard, file, {}, ok, "", {1, 0, 2, 0}, 254, 1},
      {"1 and 254", {1}, &standard, file, {}, ok, "", {1, 1, 2, 1}, 1, 254},
      {"254 and 254", {1}, &standard, file, {}, ok, "", {1, 1, 1, 1}, 254, 254},
      {"254 and none", {1}, &standard, file, {}, ok, "", {1, 1, 1, 1}, 254, 0xFF},
      {"none and 254", {1}, &standard, file, {}, ok, "", {1, 0, 1, 0}, 0xFF, 254},
      {"253 and 252", {1}, &standard, file, {}, ok, "", {1, 1, 254, 1}, 253, 252},
      {"three cards in slot order, 16-byte records", {31, 2, 1}, &standard, s_records(standard, 16),
       {}, success("3 cards"), "", {3, 0, 8, 0}, 3, 7},
      {"image below 64 KiB", {1}, &low, s_records(low), {}, ok, "", {1, 1, -1, 0}, 5, 0xFF},
      {"0xFF rows", {1}, &ff_rows, s_records(ff_rows), {"slot=1 write#3 reply=46"}, ok, "", {1, 1, 2, 1}},
      {"count 253 with CR LF", {3}, &longest, s_records(longest, 248), {}, ok, "", {1, 1, -1, 0}},
      {"objcopy", {2}, &shifted, read_file(dir_ + "/shifted.s19"), {}, ok, "", {1, 1, 2, 1}},
      {"srec_cat with holes", {2}, &holey, read_file(dir_ + "/holey.s19"), {}, ok, "", {1, 1, 2, 1}},
      // Every flashing step's failure: its message, the previous firmware
      // kept, the service released.
      {"grab reply too long", {3}, &row, row_file, {"slot=3 grab#1 reply=0000"}, FAILED, "Error grabbing flash.\n", KEPT},
      {"grab dropped", {3}, &row, row_file, {"slot=3 grab#1 drop"}, FAILED, "Error grabbing flash.\n", KEPT},
      {"grab refused", {3}, &row, row_file, {"slot=3 grab#1 reply=01"}, FAILED, "Error2 grabbing flash.\n", KEPT},
      {"lo_val unreadable", {3}, &row, row_file, {"slot=3 read#1 length=-1"}, FAILED, "error reading lo_val.\n", KEPT},
      {"hi_val short", {3}, &row, row_file, {"slot=3 read#2 length=0"}, FAILED, "error reading hi_val.\n", KEPT},
      {"erase answers", {3}, &row, row_file, {"slot=3 erase#1 reply=00"}, FAILED, "Erase failed\n", KEPT},
      {"status dropped while busy", {3}, &row, row_file, {"slot=3 erase-busy=3 status#2 drop"}, FAILED,
       "Erase failed\n", KEPT},
      {"status too long", {3}, &row, row_file, {"slot=3 status#1 reply=5050"}, FAILED, "Erase failed\n", KEPT},
      {"flash error", {3}, &row, row_file, {"slot=3 erase-fails"}, FAILED, "Erase failed - flash error\n", KEPT},
      {"row write dropped", {3}, &row, row_file, {"slot=3 write#1 drop"}, FAILED,
       "Program failed1 - 0        \n", KEPT},
      {"row write F", {3}, &row, row_file, {"slot=3 write#1 reply=46"}, FAILED,
       "Program failed2 - 1 70      \n", KEPT},
      {"row write PP", {3}, &row, row_file, {"slot=3 write#1 reply=5050"}, FAILED,
       "Program failed2 - 2 80      \n", KEPT},
      {"row write empty", {3}, &row, row_file, {"slot=3 write#1 length=0"}, FAILED,
       "Program failed2 - 0 0      \n", KEPT},
      {"row read fails", {3}, &row, row_file, {"slot=3 read#3 length=-1"}, FAILED, "", KEPT},
      {"stuck data bit", {3}, &row, row_file, {"slot=3 stuck=0x80102:01"}, "buf: 2 != flash: 3\n" + FAILED,
       "Verify error at address 0x80102\n", KEPT},
      {"generation write F", {3}, &row, row_file, {"slot=3 write#2 reply=46"}, FAILED,
       "Error programming bootval.\n", KEPT},
      {"generation read fails", {3}, &row, row_file, {"slot=3 read#4 length=-1"}, FAILED,
       "Error reading bootval.\n", {1, 1, 2, -1}},
      {"stuck generation", {3}, &row, row_file, {"slot=3 stuck=0x80000:fd"}, FAILED,
       "Bootval verify error! (FF != 02)\n", KEPT},
      // NOR flash only clears bits: 5 programmed over the old 3 reads 1.
      {"generation over an unerased one", {3}, &unerased, s_records(unerased), {}, FAILED,
       "Bootval verify error! (01 != 05)\n", KEPT, 3, 4},
      {"reboot answers", {3}, &row, row_file, {"slot=3 reboot#1 reply=00"}, FAILED,
       "Error rebooting card.\n", {1, 1, 2, -1}},
      {"reboot dropped", {3}, &row, row_file, {"slot=3 reboot#1 drop"}, FAILED,
       "Error rebooting card.\n", {1, 1, 2, -1}},
      {"a failing card stops the run", {4, 3, 1}, &standard, file, {"slot=3 stuck=0x70010:ff"},
       stuck_line + FAILED,
       "Verify error at address 0x70010\n", {1, 1, 2, 1}},
      // Runs that end before a card is flashed.
      {"service held by another client", {3}, &row, row_file, {}, "grab failed.\n" + FAILED, "", KEPT,
       1, 0xFF, 0, true, true},
      {"slot 0", {3, 0}, &row, row_file, {}, FAILED + "assertion failed. flash_x3:510 (slot)\n", "", KEPT,
       1, 0xFF, 0, false},
      {"no slot ticked", {}, &row, row_file, {}, FAILED, "", KEPT},
      {"checksum", {3}, &row, bad_checksum, {},
       "Checksum error on line:\n" + bad_checksum.substr(first, line_end + 2 - first) + "\n" + FAILED, "", KEPT},
      {"no end record", {3}, &row, "S1130000000102030405060708090A0B0C0D0E0F74\r\n", {},
       "Missing S7/S9 termination record\n" + FAILED, "", KEPT},
      {"carriage returns alone", {3}, &row, cr_only, {},
       "Checksum error on line:\n" + cr_only.substr(0, 511) + "\n" + FAILED, "", KEPT},
      {"record and blanks past the line buffer", {3}, &row, longest_line + "\r    \r\nS70500000000FA\r\n",
       {}, "Checksum error on line:\n" + longest_line + "\r\n" + FAILED, "", KEPT},
      {"byte beyond the bank", {3}, &row, s3_record(0x7FFFF, {1, 2}) + "\r\nS70500000000FA\r\n", {},
       "OutOfRange\n", "", KEPT, 1, 0xFF, 255},
      {"not octet-stream", {3}, &row, file, {}, FAILED + "malformed upload stream\n", "", KEPT, 1, 0xFF,
       0, true, false, {}, multipart_form({3}, file, "text/x-srecord")},
      {"no boundary", {3}, &row, file, {}, FAILED + "assertion failed. j5_uploader:36 (boundary)\n", "",
       KEPT, 1, 0xFF, 0, true, false, {"CONTENT_TYPE=multipart/form-data", lock_setting()}},
      {"empty content type", {3}, &row, file, {},
       FAILED + "assertion failed. j5_uploader:33 (this && content_type && *content_type)\n", "", KEPT,
       1, 0xFF, 0, true, false, {"CONTENT_TYPE=", lock_setting()}},
      {"no content type", {3}, &row, file, {}, FAILED + "assertion failed. flash_x3:475 (s)\n", "", KEPT,
       1, 0xFF, 0, true, false, {lock_setting()}},
      {"lock file cannot be opened", {3}, &row, file, {}, "lock failed.\n" + FAILED,
       "cannot take the upgrade lock /nonexistent/x3.lock: No such file or directory\n", KEPT, 1,
       0xFF, 0, true, false, no_lock},
  };
  for (const upgrade_case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<int> cards;
    for (int slot : c.slots) {
      if (slot != 0) cards.push_back(slot);
    }
    std::sort(cards.begin(), cards.end());
    std::vector<std::vector<uint8_t>> before;
    std::vector<uint32_t> booting;
    for (int slot : cards) {
      before.push_back(install_old_firmware(slot, c.lo, c.hi));
      booting.push_back(x3_card_t::bank_to_boot(*card(slot)));
    }
    start_sim(c.faults);
    test_scan_client_t other(J5_SCAN_PORT, 7);
    if (c.held) {
      ASSERT_EQ(1, other.grab());
    }
    const std::vector<std::string> env = {"CONTENT_TYPE=" + form_content_type(), lock_setting()};
    process_result r = run_process(target_program(FLASH_X3_PATH),
                                   c.body.empty() ? multipart_form(c.slots, c.file) : c.body,
                                   c.env.empty() ? env : c.env);
    if (c.held) {
      EXPECT_EQ(1, other.release());
    }
    EXPECT_EQ(PAGE_HEAD + c.page + (c.status == 0 ? PAGE_FOOT : ""), r.out);
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.released, service_is_free());
    stop_sim();
    for (size_t i = 0; i < cards.size(); i++) {
      SCOPED_TRACE(testing::Message() << "slot " << cards[i]);
      auto state = card(cards[i]);
      if (i >= c.expect.flashed) {
        expect_kept(*state, before[i], booting[i]);
        continue;
      }
      expect_flashed(*state, before[i], c.expect.bank, *c.image, c.expect.generation);
      EXPECT_EQ(c.expect.booted >= 0 ? 1u : 0u, state->boot.boot_count);
      if (c.expect.booted >= 0) {
        EXPECT_EQ(uint32_t(c.expect.booted), state->boot.booted_bank);
      }
    }
  }
}

#ifndef X3_SANITIZE
// The sanitizer build checks memory its own way and cannot run under
// valgrind.
TEST_F(Upgrade, CleanUnderValgrind) {
  const std::string valgrind = "/usr/bin/valgrind";
  if (access(valgrind.c_str(), X_OK) != 0) GTEST_SKIP() << "valgrind is not installed";
  if (emulated_target()) GTEST_SKIP() << "valgrind does not run the target's programs";
  start_sim();
  firmware full;  // a whole bank, the generation byte left erased
  add_random_bytes(full, 0, 0x80000, 11);
  full[0x10000] = 0xFF;
  process_result r = run_process(
      {valgrind, "--error-exitcode=99", "--leak-check=full",
       "--errors-for-leak-kinds=definite,indirect,possible", FLASH_X3_PATH},
      multipart_form({3}, s_records(full)), {"CONTENT_TYPE=" + form_content_type(), lock_setting()});
  EXPECT_EQ(PAGE_HEAD + success("1 card") + PAGE_FOOT, r.out);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("ERROR SUMMARY: 0 errors")) << r.err;
  // What stays allocated at the end: the image buffer, which the program
  // keeps to the end by design, and the C++ runtime's own exception pool.
  EXPECT_NE(std::string::npos, r.err.find("still reachable: 2,169,856 bytes in 2 blocks")) << r.err;
}
#endif

}  // namespace
