// The engineers' command-line tools, prog_x3flash and linecard, against
// the scan_sim program, and x3image, which needs no switch.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include "sim/crc32.h"
#include "tests/support/scan_sim_fixture.h"

namespace {

class Tools : public ScanSimTest {
 protected:
  static process_result linecard(const std::vector<std::string>& args) {
    return run_process(target_program(LINECARD_PATH, args), "");
  }
  process_result prog_x3flash(const std::vector<std::string>& args) const {
    return run_process(target_program(PROG_X3FLASH_PATH, args), "", {upgrade_lock_setting()});
  }
  static process_result x3image(const std::vector<std::string>& args) {
    return run_process(target_program(X3IMAGE_PATH, args), "");
  }

  // The CRC-32 of the 512 KiB bank that `image` fills (0xFF where it gives
  // no byte), as x3image and scan_sim print it.
  static std::string bank_crc(const firmware& image) {
    std::vector<uint8_t> bank(0x80000, 0xFF);
    for (const auto& [offset, byte] : image) bank[offset] = byte;
    char text[16];
    snprintf(text, sizeof text, "%08x", crc32(bank.data(), bank.size()));
    return text;
  }

  // An S1/S9 file of `length` random bytes at `address`, made by objcopy.
  std::string mcu_file(uint32_t address, size_t length, std::vector<uint8_t>* bytes) {
    std::mt19937 random(address);
    bytes->resize(length);
    for (uint8_t& b : *bytes) b = random() & 0xFF;
    write_file(dir_ + "/mcu.bin", bytes->data(), bytes->size());
    tool({"/usr/bin/objcopy", "-I", "binary", "-O", "srec", "--change-addresses",
          std::to_string(address), dir_ + "/mcu.bin", dir_ + "/mcu.s19"});
    return dir_ + "/mcu.s19";
  }

  static size_t mcu_flash_offset(uint32_t address) {
    return offsetof(x3_card_state, mcu) + offsetof(mcu_state, flash) + address;
  }

  // An X3 firmware file of `length` random bytes below 0x10000 and above.
  std::string x3_file(uint32_t length, uint32_t seed) {
    firmware image;
    add_random_bytes(image, 0, length, seed);
    image.erase(0x10000);
    const std::string file = dir_ + "/x3.s19";
    const std::string text = s_records(image);
    write_file(file, text.data(), text.size());
    return file;
  }
};

TEST_F(Tools, ProgX3flashUpgradesOneCard) {
  start_sim();
  const std::string file = x3_file(0x18000, 21);

  process_result r = prog_x3flash({"localhost", "2", file});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("prog_x3flash: slot 2 re-flashed: bank 0 (0x00000), generation 1\n", r.out);
  EXPECT_NE(std::string::npos, r.err.find("prog_x3flash: slot 2: reboot_card\n")) << r.err;
  EXPECT_EQ(1u, card(2)->boot.boot_count);

  r = prog_x3flash({"127.0.0.1", "2", file});
  EXPECT_EQ("prog_x3flash: slot 2 re-flashed: bank 1 (0x70000), generation 2\n", r.out);

  test_scan_client_t web_front_end(J5_SCAN_PORT, 6);
  ASSERT_EQ(1, web_front_end.grab());
  r = prog_x3flash({"localhost", "2", file});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("prog_x3flash: cannot take the scan service at localhost (not reachable, or in use)\n",
            r.out);
  EXPECT_EQ(1, web_front_end.release());

  stop_sim();
  start_sim({"slot=2 erase-fails"});
  r = prog_x3flash({"localhost", "2", file});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("prog_x3flash: slot 2 was not re-flashed: erase_flash failed\n", r.out);
  EXPECT_NE(std::string::npos, r.err.find("Erase failed - flash error\n")) << r.err;
}

TEST_F(Tools, ProgX3flashRefusesBadArguments) {
  const std::string usage = "Usage:\nprog_x3flash IP_address_or_name slot_number s19_file\n";
  const std::vector<std::vector<std::string>> wrong_counts = {{}, {"localhost"}, {"a", "1"},
                                                              {"a", "1", "f", "x"}};
  for (const auto& args : wrong_counts) {
    process_result r = prog_x3flash(args);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(usage, r.err);
    EXPECT_EQ("", r.out);
  }
  for (const char* slot : {"0", "32", "x", "3x", "-1"}) {
    process_result r = prog_x3flash({"localhost", slot, "f.s19"});
    EXPECT_EQ(1, r.status) << slot;
    EXPECT_NE(std::string::npos, r.err.find("slot_number must be 1 to 31")) << r.err;
  }
  process_result r = prog_x3flash({"localhost", "3", dir_ + "/missing.s19"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("cannot open")) << r.err;
  // Refused before the scan service is contacted (no scan_sim runs here).
  const std::string too_large = dir_ + "/too_large.s19";
  const std::string text = s3_record(0x7FFFF, {0x01, 0x02}) + "\r\nS70500000000FA\r\n";
  write_file(too_large, text.data(), text.size());
  r = prog_x3flash({"localhost", "3", too_large});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("prog_x3flash: " + too_large +
                " is too large for the bank: it has a byte at 0x80000, and a bank holds "
                "0x00000-0x7FFFF\n",
            r.out);
  EXPECT_EQ("prog_x3flash: loading " + too_large + "\n", r.err);
  EXPECT_EQ(0, prog_x3flash({"--help"}).status);
}

TEST_F(Tools, LinecardProgramsAndVerifiesTheMicrocontroller) {
  start_sim();
  std::vector<uint8_t> bytes;
  const std::string file = mcu_file(0x8000, 0x1234, &bytes);
  process_result r = linecard({"localhost", "2", "mcu-program", file});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("erasing pages 0x8000-0xDFFF (48 pages)\n"
            "programming rows 0x8000-0xE1FF (73 rows with data)\n"
            "verifying rows 0x8000-0xE1FF\n"
            "microcontroller programmed from " + file + "\n",
            r.out);
  auto state = card(2);
  EXPECT_EQ(bytes, std::vector<uint8_t>(state->mcu.flash + 0x8000, state->mcu.flash + 0x9234));
  EXPECT_EQ(0xFF, state->mcu.flash[0x9234]);
  EXPECT_EQ(0u, state->mcu.monitor);
  EXPECT_EQ(0, linecard({"localhost", "2", "mcu-verify", file}).status);

  // A byte that no longer holds what was programmed.
  patch_card(2, mcu_flash_offset(0x8005), {static_cast<uint8_t>(bytes[5] ^ 0x01)});
  r = linecard({"localhost", "2", "mcu-verify", file});
  EXPECT_EQ(1, r.status);
  char expected[96];
  snprintf(expected, sizeof expected, "verify failure at address 8005: file = %02x, device = %02x\n",
           bytes[5], bytes[5] ^ 0x01);
  EXPECT_EQ(expected, r.out);
  EXPECT_EQ("linecard: programming failure\n", r.err);
  EXPECT_EQ(0u, card(2)->mcu.monitor);  // left monitor mode after the failure
}

TEST_F(Tools, ToolsStoppedBySignalsGiveTheServiceBack) {
  const std::string x3 = x3_file(0x18000, 24);
  std::vector<uint8_t> bytes;
  const std::string mcu = mcu_file(0x8000, 0x1234, &bytes);
  struct stop_case {
    std::string freeze;  // the command the tool is stopped at
    std::vector<std::string> argv;
    int signal;
    std::string last_line;
  } cases[] = {
      {"write#3", target_program(PROG_X3FLASH_PATH, {"localhost", "2", x3}), SIGTERM,
       "prog_x3flash: stopped by SIGTERM in program_flash, slot 2 not finished; "
       "the scan service was released\n"},
      {"read#1", target_program(PROG_X3FLASH_PATH, {"localhost", "2", x3}), SIGINT,
       "prog_x3flash: stopped by SIGINT in select_bank, slot 2 not finished; "
       "the scan service was released\n"},
      {"row-write#3", target_program(LINECARD_PATH, {"localhost", "2", "mcu-program", mcu}),
       SIGTERM, "linecard: stopped by SIGTERM; the scan service was released\n"},
      {"page-erase#2", target_program(LINECARD_PATH, {"localhost", "2", "mcu-program", mcu}),
       SIGHUP, "linecard: stopped by SIGHUP; the scan service was released\n"},
  };
  for (const stop_case& c : cases) {
    SCOPED_TRACE(c.argv.back() + " at " + c.freeze);
    start_sim({"slot=2 " + c.freeze + " freeze"});
    const std::string log = dir_ + "/tool.log";
    const int pid = start_process(c.argv, log);
    ASSERT_TRUE(wait_until_sim_frozen());
    kill(pid, c.signal);
    kill(sim_pid_, SIGCONT);
    EXPECT_EQ(1, stop_process(pid, 0));
    const std::string output = read_file(log);
    EXPECT_EQ(c.last_line, output.substr(output.rfind('\n', output.size() - 2) + 1)) << output;
    test_scan_client_t other(J5_SCAN_PORT, 9);
    EXPECT_EQ(1, other.grab()) << "the service is still held";
    EXPECT_EQ(1, other.release());
    stop_sim();
    unlink(log.c_str());
  }
}

TEST_F(Tools, LinecardReadsRecordsThatAccumulate) {
  start_sim();
  process_result r = linecard({"localhost", "3", "info"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("board          X3 line card\n"
            "serial number  X3A-01203\n"
            "hardware       rev C\n"
            "firmware       mcu 2.4.1\n",
            r.out);

  r = linecard({"localhost", "3", "watch", "1", "3"});
  ASSERT_EQ(0, r.status) << r.err;
  // Type 34 entry 0 counts 1000 frames per status reply; type 1 totals
  // the error counts 10, 11, 12.
  const size_t third = r.out.find("-- reading 3");
  ASSERT_NE(std::string::npos, third) << r.out;
  const std::string last = r.out.substr(third);
  EXPECT_NE(std::string::npos, last.find("\n          0       3000        150 ")) << last;
  EXPECT_NE(std::string::npos, last.find("  1     1  value1 1  value2 3  value3 1  total 33 ")) << last;
  EXPECT_NE(std::string::npos, last.find("  6    17  sensor 1  43.00 C\n")) << last;

  r = linecard({"localhost", "3", "control", "20", "0", "5", "6"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(5, card(3)->mcu.control[7][0]);  // the type 20 record is the 7th
  EXPECT_EQ(6, card(3)->mcu.control[7][1]);
}

TEST_F(Tools, LinecardReportsCardSwapsAndMissingReplies) {
  struct reply_case {
    std::string fault;
    std::vector<std::string> command;
    int status;
    std::string out_piece;
    std::string err;
  } cases[] = {
      {"slot=3 swap=3:1/1/2/14/16/17/20/34/35/18", {"watch", "1", "2"}, 1, "",
       "linecard: Type bytes don't match in Vorn_Serial:read\n"},
      {"slot=3 swap=3:1/1/2/14/16/17/20/34/35/13/18", {"watch", "1", "2"}, 1, "",
       "linecard: Too many typebytes in Vorn_Serial:read\n"},
      {"slot=3 config#1 length=-2", {"status"}, 0, "no records", ""},
      {"slot=3 readings#2 length=-2", {"watch", "1", "2"}, 0, "-- reading 2\nno records", ""},
      {"slot=3 config#1 length=0", {"info"}, 1, "no configuration", ""},
      {"slot=3 config#1 length=-5", {"status"}, 1, "Error reading configuration, error code -5.\n",
       "linecard: Vorn_Serial::config\n"},
      {"slot=3 config#1 reply=0301", {"status"}, 1,
       "Error reading config, not enough data received (3 > 2)\n", "linecard: Vorn_Serial::config\n"},
  };
  for (const reply_case& c : cases) {
    SCOPED_TRACE(c.fault);
    start_sim({c.fault});
    std::vector<std::string> args = {"localhost", "3"};
    args.insert(args.end(), c.command.begin(), c.command.end());
    process_result r = linecard(args);
    stop_sim();
    EXPECT_EQ(c.status, r.status);
    EXPECT_NE(std::string::npos, r.out.find(c.out_piece)) << r.out;
    EXPECT_EQ(c.err, r.err);
  }
}

TEST_F(Tools, LinecardFindsTheVersionStampOfAnImage) {
  const char stamped[] = "\x7f" "ELF junk\0Type: X3 mainline  \0Compiled on:\0Dec 5 2026\0" "17:20:01\0tail";
  write_file(dir_ + "/x3.bin", stamped, sizeof stamped);
  process_result r = linecard({"version", dir_ + "/x3.bin"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("Type: X3 mainline  \nCompiled on:\nDec 5 2026\n17:20:01\n"
            "type: X3 mainline\n"
            "date: Dec 5 2026 17:20:01\n",
            r.out);
  const char unstamped[] = "no stamp here\0at all";
  write_file(dir_ + "/plain.bin", unstamped, sizeof unstamped);
  r = linecard({"localhost", "3", "version", dir_ + "/plain.bin"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("no version stamp in " + dir_ + "/plain.bin\n", r.out);
  // An endless file is read up to a bound and refused.
  r = linecard({"version", "/dev/zero"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("linecard: /dev/zero is larger than 16 MiB, too large for an X3 firmware image\n",
            r.err);
}

TEST_F(Tools, X3imageJudgesImagesAsTheSwitchDoes) {
  firmware small;
  add_random_bytes(small, 0x100, 0x300, 31);
  firmware stamped;
  add_random_bytes(stamped, 0, 0x20000, 32);
  add_random_bytes(stamped, 0x7FF00, 0x100, 33);
  const char stamp[] = "Type: X3 mainline\0Compiled on:\0Dec 5 2026\0" "17:20:01";
  for (size_t i = 0; i < sizeof stamp; i++) stamped[0x400 + i] = stamp[i];
  stamped[0x10000] = 0xFF;  // the generation byte stays the card's
  const std::string small_text = s_records(small);
  std::string no_line_end = small_text;
  no_line_end.resize(no_line_end.size() - 2);  // the S7 record ends the file
  const std::string cut = s3_record(0x100, {1, 2, 3, 4}).substr(0, 14);
  struct {
    const char* name;
    std::string content;
    std::vector<std::string> args;  // before and after the file
    int status;
    std::string out;
  } cases[] = {
      {"small image", small_text, {"info", "--json"}, 0,
       "{\"file\": \"@\", \"bytes\": 768, \"lowest\": \"0x00100\", \"highest\": \"0x003ff\", "
       "\"sectors\": [\"0x00000\"], \"shared_sector\": false, \"generation_byte\": false, "
       "\"crc32\": \"" + bank_crc(small) + "\", \"type\": null, \"compiled\": null}\n"},
      {"stamped image reaching the shared sector", s_records(stamped), {"info", "--json"}, 0,
       "{\"file\": \"@\", \"bytes\": 131328, \"lowest\": \"0x00000\", \"highest\": \"0x7ffff\", "
       "\"sectors\": [\"0x00000\", \"0x10000\", \"0x70000\"], \"shared_sector\": true, "
       "\"generation_byte\": true, \"crc32\": \"" + bank_crc(stamped) + "\", "
       "\"type\": \"X3 mainline\", \"compiled\": \"Dec 5 2026 17:20:01\"}\n"},
      // Inside the upload the form's closing delimiter follows the file.
      {"end record without a line end", no_line_end, {"check"}, 0, "@: accepted\n"},
      {"cut inside a record", cut, {"check"}, 1, "Checksum error on line:\n" + cut + "\r\n\n"},
      {"byte beyond the bank", s3_record(0x7FFFF, {1, 2}) + "\r\nS9030000FC\r\n", {"info"}, 1, "OutOfRange\n"},
      {"empty file", "", {"check"}, 1, "Missing S7/S9 termination record\n"},
  };
  const std::string path = dir_ + "/x3.s19";
  for (const auto& c : cases) {
    write_file(path, c.content.data(), c.content.size());
    std::vector<std::string> args = {c.args[0], path};
    args.insert(args.end(), c.args.begin() + 1, c.args.end());
    process_result r = x3image(args);
    std::string out = c.out;
    const size_t at = out.find('@');
    if (at != std::string::npos) out.replace(at, 1, path);
    EXPECT_EQ(c.status, r.status) << c.name << ": " << r.err;
    EXPECT_EQ(out, r.out) << c.name;
  }
  process_result r = x3image({"form", path, "--slots", "0,2"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("", r.out);
}

TEST_F(Tools, X3imageFormIsTheUploadFlashX3Reads) {
  start_sim();
  firmware image;
  add_random_bytes(image, 0, 0x18000, 34);
  image[0x10000] = 0xFF;
  const std::string text = s_records(image);
  write_file(dir_ + "/x3.s19", text.data(), text.size());
  process_result form = x3image({"form", dir_ + "/x3.s19", "--slots", "3,2", "--boundary", "b-1971"});
  ASSERT_EQ(0, form.status) << form.err;
  process_result page = run_process(target_program(FLASH_X3_PATH), form.out,
                                    {"CONTENT_TYPE=multipart/form-data; boundary=b-1971"});
  EXPECT_NE(std::string::npos, page.out.find("The upgrade was successful. 2 cards re-flashed.")) << page.out;
  for (int slot : {2, 3}) {
    image[0x10000] = 1;  // the generation the card wrote
    char booted[16];
    snprintf(booted, sizeof booted, "%08x", uint32_t{card(slot)->boot.crc32});
    EXPECT_EQ(bank_crc(image), booted) << "slot " << slot;
  }
}

#ifndef X3_SANITIZE
TEST_F(Tools, ToolsAreCleanUnderValgrind) {
  const std::string valgrind = "/usr/bin/valgrind";
  if (access(valgrind.c_str(), X_OK) != 0) GTEST_SKIP() << "valgrind is not installed";
  if (emulated_target()) GTEST_SKIP() << "valgrind does not run the target's programs";
  start_sim({"slot=4 swap=3:1/18"});
  std::vector<uint8_t> bytes;
  const std::string mcu = mcu_file(0xA000, 0x300, &bytes);
  const std::string x3 = x3_file(0x4000, 22);
  const std::vector<std::vector<std::string>> runs = {
      {LINECARD_PATH, "localhost", "2", "status"},
      {LINECARD_PATH, "localhost", "2", "mcu-program", mcu},
      {LINECARD_PATH, "localhost", "4", "watch", "1", "2"},  // fails on the swapped card
      {PROG_X3FLASH_PATH, "localhost", "3", x3},
  };
  for (const auto& args : runs) {
    // A memory error or a leak of any kind but "still reachable" makes
    // valgrind exit with 99.
    std::vector<std::string> argv = {valgrind, "--error-exitcode=99", "--leak-check=full",
                                     "--errors-for-leak-kinds=definite,indirect,possible"};
    argv.insert(argv.end(), args.begin(), args.end());
    process_result r = run_process(argv, "", {upgrade_lock_setting()});
    EXPECT_NE(99, r.status) << args[3] << ": " << r.err;
    EXPECT_NE(std::string::npos, r.err.find("ERROR SUMMARY: 0 errors")) << r.err;
  }
}
#endif

}  // namespace
