// The flash_x3 CGI program end to end: a form and an image on standard
// input, the real scan server with X3 card models on 127.0.0.1:1971, and
// the page, the diagnostics, the exit status and the cards' flash checked
// afterwards.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "frontend/upgrade_lock.h"
#include "scan/j5_scan_server.h"
#include "tests/support/loopback.h"
#include "sim/backplane.h"
#include "tests/support/firmware.h"
#include "tests/support/process.h"

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

std::string success_page(const std::string& cards) {
  return PAGE_HEAD + "The upgrade was successful. " + cards + " re-flashed.<br> \n" + PAGE_FOOT;
}

// The scan service as the switch runs it, counting requests, and able to
// drop release requests unanswered.
class test_service_t : public j5_scan_server_t {
 public:
  explicit test_service_t(j5_scan_primitive_fn primitive) : j5_scan_server_t(primitive) {}
  void handle(int32_t fd) override {
    requests++;
    if (drop_releases) {
      uint8_t start[16];
      if (recv(fd, start, sizeof start, MSG_PEEK | MSG_WAITALL) == sizeof start &&
          start[15] == J5_SCAN_OP_RELEASE) {
        return;
      }
    }
    j5_scan_server_t::handle(fd);
  }
  std::atomic<int> requests{0};
  std::atomic<bool> drop_releases{false};
};

backplane_t& cards() {
  static backplane_t* backplane = new backplane_t;
  return *backplane;
}

// The scan service on 127.0.0.1:1971, started once per test program.
test_service_t& service() {
  static test_service_t& server = serve_in_background<test_service_t>(J5_SCAN_PORT, cards().primitive());
  return server;
}

// The firmware most tests upload: data in sectors 0, 1 and 3 (none at the
// generation byte 0x10000), a row of explicit 0xFF bytes, a partial row.
firmware standard_image() {
  firmware image;
  add_random_bytes(image, 0x00000, 0x2000, 1);
  add_random_bytes(image, 0x10100, 0x1F00, 2);
  add_random_bytes(image, 0x30000, 0x0155, 3);
  for (uint32_t k = 0; k < 0x100; k++) image[0x31000 + k] = 0xFF;
  return image;
}

// The upgrades of this test program serialise on a lock file of its own.
const std::string& lock_directory() {
  static const std::string directory = [] {
    char pattern[] = "/tmp/x3_upgrade_test_XXXXXX";
    return std::string(mkdtemp(pattern) ? pattern : "/nonexistent");
  }();
  return directory;
}

std::string upgrade_lock_setting() {
  return std::string(UPGRADE_LOCK_VARIABLE) + "=" + lock_directory() + "/upgrade.lock";
}

class Upgrade : public testing::Test {
 protected:
  static void SetUpTestSuite() { service(); }
  static void TearDownTestSuite() {
    unlink((lock_directory() + "/upgrade.lock").c_str());
    rmdir(lock_directory().c_str());
  }

  void SetUp() override {
    for (int slot = 0; slot < J5_SCAN_NUM_SLOTS; slot++) cards().remove_card(slot);
    service().drop_releases = false;
    test_scan_client_t(J5_SCAN_PORT, 6).release();
  }

  process_result upgrade(const std::vector<int>& slots, const std::string& file) {
    return run_flash_x3(form_content_type(), multipart_form(slots, file));
  }

  static process_result run_flash_x3(const std::string& content_type, const std::string& body,
                                     bool with_content_type = true,
                                     const std::string& lock_setting = upgrade_lock_setting()) {
    std::vector<std::string> environment = {lock_setting};
    if (with_content_type) environment.push_back("CONTENT_TYPE=" + content_type);
    return run_process(target_program(FLASH_X3_PATH), body, environment);
  }

  // Puts old firmware in both banks: bank 0 filled with 0x11 and generation
  // `lo`, bank 1 with 0x22 and generation `hi` (sector 0x70000 is shared;
  // bank 1 wins there).
  static void insert_card(int slot, uint8_t lo = 0xFF, uint8_t hi = 0xFF) {
    x3_card_state& s = cards().insert_card(slot).state();
    memset(s.flash, 0x11, 0x70000);
    memset(s.flash + 0x70000, 0x22, 0x80000);
    s.flash[0x10000] = lo;
    s.flash[0x80000] = hi;
  }

  // The service is free when another client can take it.
  static bool service_is_free() {
    test_scan_client_t other(J5_SCAN_PORT, 7);
    return other.grab() && other.release();
  }

  // Checks that the bank at `base` holds `image` in every sector the image
  // touches (0xFF where it has no data) and the generation byte
  // `generation` (-1: none written), and that everything else is as
  // `before`.
  static void expect_programmed(int slot, uint32_t base, const firmware& image, int generation,
                                const std::vector<uint8_t>& before) {
    std::vector<bool> touched(8);
    for (const auto& entry : image) touched[entry.first / 0x10000] = true;
    cards().with_card(slot, [&](x3_card_t& card) {
      const uint8_t* flash = card.state().flash;
      int mismatches = 0;
      for (uint32_t a = 0; a < X3_FLASH_SIZE && mismatches < 5; a++) {
        const bool in_bank = a >= base && a < base + 0x80000;
        uint8_t expected = before[a];
        if (in_bank && touched[(a - base) / 0x10000]) {
          auto it = image.find(a - base);
          expected = it == image.end() ? 0xFF : it->second;
        }
        if (a == base + 0x10000 && generation >= 0) expected = generation;
        if (flash[a] != expected) {
          ADD_FAILURE() << std::hex << "flash[0x" << a << "] = 0x" << int(flash[a])
                        << ", expected 0x" << int(expected);
          mismatches++;
        }
      }
    });
  }

  static std::vector<uint8_t> flash_of(int slot) {
    std::vector<uint8_t> copy;
    cards().with_card(slot, [&](x3_card_t& card) {
      copy.assign(card.state().flash, card.state().flash + X3_FLASH_SIZE);
    });
    return copy;
  }

  static x3_boot_record boot_of(int slot) {
    x3_boot_record boot{};
    cards().with_card(slot, [&](x3_card_t& card) { boot = card.state().boot; });
    return boot;
  }
};

TEST_F(Upgrade, OneBlankCard) {
  insert_card(5);
  const std::vector<uint8_t> before = flash_of(5);
  const firmware image = standard_image();
  process_result r = upgrade({5}, s_records(image));
  EXPECT_EQ(success_page("1 card"), r.out);
  EXPECT_EQ("", r.err);
  EXPECT_EQ(0, r.status);
  expect_programmed(5, 0x00000, image, 1, before);
  EXPECT_EQ(1u, boot_of(5).boot_count);
  EXPECT_EQ(0u, boot_of(5).booted_bank);
  EXPECT_EQ(1u, boot_of(5).generation);
  EXPECT_TRUE(service_is_free());
}

TEST_F(Upgrade, SeveralCardsInSlotOrder) {
  const firmware image = standard_image();
  for (int slot : {2, 9, 31}) insert_card(slot, 3, 7);
  process_result r = upgrade({31, 2, 9}, s_records(image, 16));
  EXPECT_EQ(success_page("3 cards"), r.out);
  EXPECT_EQ("", r.err);
  for (int slot : {2, 9, 31}) {
    EXPECT_EQ(1u, boot_of(slot).boot_count);
    EXPECT_EQ(8u, boot_of(slot).generation);
    EXPECT_EQ(0u, boot_of(slot).booted_bank);
  }
}

TEST_F(Upgrade, ProgramsTheOlderBankWithTheNextGeneration) {
  struct generation_case {
    uint8_t lo, hi;
    uint32_t bank_base, bootval;
  } cases[] = {
      {0xFF, 0xFF, 0x00000, 1}, {0x00, 0xFF, 0x00000, 1}, {3, 3, 0x70000, 4},
      {3, 7, 0x00000, 8},       {7, 0xFF, 0x70000, 8},    {254, 1, 0x00000, 2},
      {1, 254, 0x70000, 2},     {254, 254, 0x70000, 1},   {254, 0xFF, 0x70000, 1},
      {0xFF, 254, 0x00000, 1},
  };
  const firmware image = standard_image();
  const std::string file = s_records(image);
  for (const generation_case& c : cases) {
    SCOPED_TRACE(testing::Message() << "lo " << int(c.lo) << " hi " << int(c.hi));
    insert_card(4, c.lo, c.hi);
    const std::vector<uint8_t> before = flash_of(4);
    EXPECT_EQ(success_page("1 card"), upgrade({4}, file).out);
    expect_programmed(4, c.bank_base, image, c.bootval, before);
    EXPECT_EQ(c.bank_base == 0 ? 0u : 1u, boot_of(4).booted_bank);
    EXPECT_EQ(c.bootval, boot_of(4).generation);
  }
}

TEST_F(Upgrade, ImageBelow64KiBWritesNoGeneration) {
  insert_card(6, 5, 0xFF);
  const std::vector<uint8_t> before = flash_of(6);
  firmware image;
  add_random_bytes(image, 0x0100, 0x3000, 4);
  EXPECT_EQ(success_page("1 card"), upgrade({6}, s_records(image)).out);
  // Bank 1 was chosen; only its first sector (0x70000) was touched, and its
  // generation byte at 0x80000 stays erased-as-before.
  expect_programmed(6, 0x70000, image, -1, before);
  EXPECT_EQ(0u, boot_of(6).booted_bank);
}

TEST_F(Upgrade, RowsOfOnly0xFFAreErasedAndVerifiedButNotProgrammed) {
  insert_card(7);
  const std::vector<uint8_t> before = flash_of(7);
  firmware image;
  for (uint32_t k = 0; k < 0x200; k++) image[0x20000 + k] = 0xFF;
  image[0x40000] = 0x42;
  EXPECT_EQ(success_page("1 card"), upgrade({7}, s_records(image)).out);
  expect_programmed(7, 0, image, 1, before);
  cards().with_card(7, [](x3_card_t& card) {
    EXPECT_EQ(2, card.commands_seen(x3_command_kind::erase));
    EXPECT_EQ(2, card.commands_seen(x3_command_kind::write));  // row 0x40000 and the generation
    EXPECT_EQ(2 + 3 + 1, card.commands_seen(x3_command_kind::read));
  });
}

TEST_F(Upgrade, StepFailuresReportTheirMessageAndReleaseTheService) {
  // One row of bytes 00..1F at 0x10100: one erase, one row write, one row
  // read, then the generation byte (write 2, read 4).
  firmware image;
  for (uint32_t k = 0; k < 0x20; k++) image[0x10100 + k] = k;
  const std::string file = s_records(image);
  using kind = x3_command_kind;
  struct failure_case {
    const char* what;
    x3_card_faults faults;
    std::string err;
    std::string out;  // lines before the outcome
  };
  auto rule = [](kind k, int nth, int32_t length, std::vector<uint8_t> reply) {
    x3_card_faults f;
    f.rules.push_back({k, nth, x3_fault_action::reply, length, reply});
    return f;
  };
  auto dropped = [](kind k, int nth) {
    x3_card_faults f;
    f.rules.push_back({k, nth, x3_fault_action::drop_connection, 0, {}});
    return f;
  };
  x3_card_faults erase_fails;
  erase_fails.erase_fails = true;
  x3_card_faults stuck_data;
  stuck_data.stuck_bits[0x10102] = 0x01;
  x3_card_faults stuck_generation;
  stuck_generation.stuck_bits[0x10000] = 0xFE;
  const failure_case cases[] = {
      {"grab reply too long", rule(kind::grab, 1, 2, {0, 0}), "Error grabbing flash.\n", ""},
      {"grab dropped", dropped(kind::grab, 1), "Error grabbing flash.\n", ""},
      {"grab refused", rule(kind::grab, 1, 1, {1}), "Error2 grabbing flash.\n", ""},
      {"lo_val unreadable", rule(kind::read, 1, -1, {}), "error reading lo_val.\n", ""},
      {"hi_val short", rule(kind::read, 2, 0, {}), "error reading hi_val.\n", ""},
      {"erase answers", rule(kind::erase, 1, 1, {0}), "Erase failed\n", ""},
      {"status dropped", dropped(kind::status, 1), "Erase failed\n", ""},
      {"status too long", rule(kind::status, 1, 2, {'P', 'P'}), "Erase failed\n", ""},
      {"flash error", erase_fails, "Erase failed - flash error\n", ""},
      {"row write dropped", dropped(kind::write, 1), "Program failed1 - 0        \n", ""},
      {"row write F", rule(kind::write, 1, 1, {'F'}), "Program failed2 - 1 70      \n", ""},
      {"row write PP", rule(kind::write, 1, 2, {'P', 'P'}), "Program failed2 - 2 80      \n", ""},
      {"row write empty", rule(kind::write, 1, 0, {}), "Program failed2 - 0 0      \n", ""},
      {"row read fails", rule(kind::read, 3, -1, {}), "", ""},
      {"stuck data bit", stuck_data, "Verify error at address 0x10102\n", "buf: 2 != flash: 3\n"},
      {"generation write F", rule(kind::write, 2, 1, {'F'}), "Error programming bootval.\n", ""},
      {"generation read fails", rule(kind::read, 4, -1, {}), "Error reading bootval.\n", ""},
      {"stuck generation", stuck_generation, "Bootval verify error! (FF != 01)\n", ""},
      {"reboot answers", rule(kind::reboot, 1, 1, {0}), "Error rebooting card.\n", ""},
      {"reboot dropped", dropped(kind::reboot, 1), "Error rebooting card.\n", ""},
  };
  for (const failure_case& c : cases) {
    SCOPED_TRACE(c.what);
    insert_card(3);
    cards().with_card(3, [&](x3_card_t& card) { card.faults = c.faults; });
    process_result r = upgrade({3}, file);
    EXPECT_EQ(PAGE_HEAD + c.out + FAILED + PAGE_FOOT, r.out);
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(service_is_free());
    EXPECT_EQ(0u, boot_of(3).boot_count);
  }
}

TEST_F(Upgrade, AFailingCardStopsTheRunAfterTheCardsBeforeIt) {
  const firmware image = standard_image();
  insert_card(2);
  insert_card(8);
  insert_card(12);
  ASSERT_NE(0xFF, image.at(0x10));
  cards().with_card(8, [](x3_card_t& card) { card.faults.stuck_bits[0x00010] = 0xFF; });
  process_result r = upgrade({2, 8, 12}, s_records(image));
  EXPECT_EQ(0, r.out.find(PAGE_HEAD));
  EXPECT_NE(std::string::npos, r.out.find("buf: "));
  EXPECT_EQ(FAILED + PAGE_FOOT, r.out.substr(r.out.size() - FAILED.size() - PAGE_FOOT.size()));
  EXPECT_EQ(0u, r.err.find("Verify error at address 0x10\n"));
  EXPECT_EQ(1u, boot_of(2).boot_count);
  EXPECT_EQ(0u, boot_of(8).boot_count);
  EXPECT_EQ(0u, boot_of(12).boot_count);
  cards().with_card(12, [](x3_card_t& card) {
    EXPECT_EQ(0, card.commands_seen(x3_command_kind::grab));
  });
  EXPECT_TRUE(service_is_free());
}

TEST_F(Upgrade, ServiceHeldByAnotherClient) {
  insert_card(3);
  test_scan_client_t other(J5_SCAN_PORT, 7);
  ASSERT_EQ(1, other.grab());
  process_result r = upgrade({3}, s_records(standard_image()));
  EXPECT_EQ(PAGE_HEAD + "grab failed.\n" + FAILED + PAGE_FOOT, r.out);
  EXPECT_EQ(1, other.release());
  cards().with_card(3, [](x3_card_t& card) {
    EXPECT_EQ(0, card.commands_seen(x3_command_kind::grab));
  });
}

TEST_F(Upgrade, ReleaseFailure) {
  insert_card(3);
  service().drop_releases = true;
  process_result r = upgrade({3}, s_records(standard_image()));
  EXPECT_EQ(PAGE_HEAD + "release failed.\n" + FAILED + PAGE_FOOT, r.out);
  EXPECT_EQ(1u, boot_of(3).boot_count);  // the card itself went through
}

TEST_F(Upgrade, SlotZeroIsRefusedBeforeAnyCardIsTouched) {
  insert_card(0);
  insert_card(3);
  process_result r = upgrade({3, 0}, s_records(standard_image()));
  EXPECT_EQ(PAGE_HEAD + FAILED + "assertion failed. flash_x3:510 (slot)\n" + PAGE_FOOT, r.out);
  EXPECT_EQ("", r.err);
  for (int slot : {0, 3}) {
    cards().with_card(slot, [](x3_card_t& card) {
      EXPECT_EQ(0, card.commands_seen(x3_command_kind::grab));
    });
  }
  EXPECT_FALSE(service_is_free());  // the failure skipped the release
}

TEST_F(Upgrade, NoSlotTickedGrabsAndReleasesOnly) {
  insert_card(3);
  const int before = service().requests;
  process_result r = upgrade({}, s_records(standard_image()));
  EXPECT_EQ(PAGE_HEAD + FAILED + PAGE_FOOT, r.out);
  EXPECT_EQ(2, service().requests - before);
  EXPECT_TRUE(service_is_free());
}

// The longest record the loader's line buffer holds (count 253: 510
// characters, then CR LF) loads; anything longer is refused before any
// card is contacted, as is every other upload the loader cannot use, and
// a run that cannot take the upgrade lock.
TEST_F(Upgrade, RejectedRunsNeverContactTheService) {
  const std::string good = s_records(standard_image());
  std::string bad_checksum = good;
  const size_t line_end = bad_checksum.find("\r\n", bad_checksum.find("S3"));
  bad_checksum[line_end - 1] ^= 1;
  const std::string bad_line = bad_checksum.substr(bad_checksum.find("S3"),
                                                   line_end + 2 - bad_checksum.find("S3"));
  firmware longest;
  add_random_bytes(longest, 0x100, 3 * 248, 31);
  const std::string longest_records = s_records(longest, 248);
  const std::string longest_line = s3_record(0x100, std::vector<uint8_t>(248, 0x5A));
  // Seven records of 29 bytes and a carriage return fill the 511
  // characters the buffer takes, so every piece starts with a record.
  std::string cr_only;
  for (uint32_t r = 0; r < 14; r++) cr_only += s3_record(29 * r, std::vector<uint8_t>(29, r)) + "\r";
  cr_only += "S70500000000FA\r";
  struct upload_case {
    const char* what;
    std::string content_type;
    std::string body;
    std::string page_middle;
    const firmware* loaded;  // the image card 3 then holds, or none: no request at all
    std::string lock_setting = upgrade_lock_setting();
  } cases[] = {
      {"checksum", form_content_type(), multipart_form({3}, bad_checksum),
       "Checksum error on line:\n" + bad_line + "\n" + FAILED, nullptr},
      {"no end record", form_content_type(), multipart_form({3}, "S1130000000102030405060708090A0B0C0D0E0F74\r\n"),
       "Missing S7/S9 termination record\n" + FAILED, nullptr},
      {"carriage returns alone", form_content_type(), multipart_form({3}, cr_only),
       "Checksum error on line:\n" + cr_only.substr(0, 511) + "\n" + FAILED, nullptr},
      {"record and blanks past the line buffer", form_content_type(),
       multipart_form({3}, longest_line + "\r    \r\nS70500000000FA\r\n"),
       "Checksum error on line:\n" + longest_line + "\r\n" + FAILED, nullptr},
      {"count 253 with CR LF", form_content_type(), multipart_form({3}, longest_records),
       "The upgrade was successful. 1 card re-flashed.<br> \n", &longest},
      {"not octet-stream", form_content_type(), multipart_form({3}, good, "text/x-srecord"),
       FAILED + "malformed upload stream\n", nullptr},
      {"no boundary", "multipart/form-data", multipart_form({3}, good),
       FAILED + "assertion failed. j5_uploader:36 (boundary)\n", nullptr},
      {"empty content type", "", multipart_form({3}, good),
       FAILED + "assertion failed. j5_uploader:33 (this && content_type && *content_type)\n",
       nullptr},
      {"lock file cannot be opened", form_content_type(), multipart_form({3}, good),
       "lock failed.\n" + FAILED, nullptr, std::string(UPGRADE_LOCK_VARIABLE) + "=/nonexistent/x3.lock"},
  };
  for (const upload_case& c : cases) {
    SCOPED_TRACE(c.what);
    insert_card(3);
    const std::vector<uint8_t> before = flash_of(3);
    const int requests = service().requests;
    process_result r = run_flash_x3(c.content_type, c.body, true, c.lock_setting);
    EXPECT_EQ(PAGE_HEAD + c.page_middle + PAGE_FOOT, r.out);
    EXPECT_EQ(0, r.status);
    if (c.loaded) expect_programmed(3, 0x00000, *c.loaded, -1, before);
    else EXPECT_EQ(requests, service().requests);
  }
  const int requests = service().requests;
  process_result r = run_flash_x3("", "", false);
  EXPECT_EQ(PAGE_HEAD + FAILED + "assertion failed. flash_x3:475 (s)\n" + PAGE_FOOT, r.out);
  EXPECT_EQ(requests, service().requests);
}

#ifndef X3_SANITIZE
// The sanitizer build checks memory its own way and cannot run under
// valgrind.
TEST_F(Upgrade, CleanUnderValgrind) {
  const std::string valgrind = "/usr/bin/valgrind";
  if (access(valgrind.c_str(), X_OK) != 0) GTEST_SKIP() << "valgrind is not installed";
  if (emulated_target()) GTEST_SKIP() << "valgrind does not run the target's programs";
  insert_card(3);
  firmware full;  // a whole bank, the generation byte left erased
  add_random_bytes(full, 0, 0x80000, 11);
  full[0x10000] = 0xFF;
  process_result r = run_process(
      {valgrind, "--error-exitcode=99", "--leak-check=full",
       "--errors-for-leak-kinds=definite,indirect,possible", FLASH_X3_PATH},
      multipart_form({3}, s_records(full)),
      {"CONTENT_TYPE=" + form_content_type(), upgrade_lock_setting()});
  EXPECT_EQ(success_page("1 card"), r.out);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("ERROR SUMMARY: 0 errors")) << r.err;
  // What stays allocated at the end: the image buffer, which the program
  // keeps to the end by design, and the C++ runtime's own exception pool.
  EXPECT_NE(std::string::npos, r.err.find("still reachable: 2,169,856 bytes in 2 blocks")) << r.err;
}
#endif

TEST_F(Upgrade, OutOfRangeEndsTheProcessAndCutsThePage) {
  insert_card(3);
  const std::string file = s3_record(0x7FFFF, {0x01, 0x02}) + "\r\nS70500000000FA\r\n";
  process_result r = upgrade({3}, file);
  EXPECT_EQ(PAGE_HEAD + "OutOfRange\n", r.out);
  EXPECT_EQ(255, r.status);
  cards().with_card(3, [](x3_card_t& card) {
    EXPECT_EQ(0, card.commands_seen(x3_command_kind::grab));
  });
}

}  // namespace
