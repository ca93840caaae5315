// The engineers' command-line tools, prog_x3flash and linecard, against
// scan_sim, and x3image, which needs no switch.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <sodium.h>

#include "common/crc32.h"
#include "tests/support/minisign.h"
#include "tests/support/scan_sim_fixture.h"

namespace {

std::string random_bytes(uint32_t length, uint32_t seed) {
  firmware image;
  add_random_bytes(image, 0, length, seed);
  std::string bytes;
  for (const auto& entry : image) bytes += char(entry.second);
  return bytes;
}

// The CRC-32 of the 512 KiB bank that `image` fills (0xFF where it gives no
// byte), as x3image gives it.
std::string bank_crc(const firmware& image) {
  std::vector<uint8_t> bank(0x80000, 0xFF);
  for (const auto& [offset, byte] : image) bank[offset] = byte;
  char text[16];
  snprintf(text, sizeof text, "%08x", crc32(bank.data(), bank.size()));
  return text;
}

// What linecard banks prints for a card in `state`: each bank's CRC-32
// with its generation byte as 0xFF, and bank 0's with the sector it shares
// with bank 1 as 0xFF too; the bank the card's boot code picks marked.
std::string banks_lines(const x3_card_state& state) {
  std::string text;
  for (uint32_t b = 0; b < 2; b++) {
    std::vector<uint8_t> bank(state.flash + X3_BANK_BASE[b], state.flash + X3_BANK_BASE[b] + X3_BANK_SIZE);
    const unsigned generation = bank[X3_GENERATION_OFFSET];
    bank[X3_GENERATION_OFFSET] = 0xFF;
    if (b == 0) std::fill(bank.begin() + X3_BANK_BASE[1], bank.end(), 0xFF);
    char line[96];
    snprintf(line, sizeof line, "bank %u (0x%05X): generation %u, crc32 %08x%s\n", b, X3_BANK_BASE[b],
             generation, crc32(bank.data(), bank.size()), x3_card_t::bank_to_boot(state) == b ? "  <- starts" : "");
    text += line;
  }
  return text + "crc32: each bank's 512 KiB with its generation byte read as 0xFF, and bank 0's last\n"
                "sector (0x70000-0x7FFFF, bank 1's first) as well, so that it equals the crc32 that\n"
                "x3image info and the upgrade history give for the image programmed there\n";
}

class Tools : public ScanSimTest {
 protected:
  // Writes `text` to the file NAME of this test; returns its path.
  std::string save(const std::string& name, const std::string& text) const {
    write_file(dir_ + "/" + name, text);
    return dir_ + "/" + name;
  }
  // An S1/S9 file of `bytes` at `address`, made by objcopy.
  std::string mcu_file(uint32_t address, const std::string& bytes, const std::string& name) const {
    const std::vector<std::string> objcopy = {"/usr/bin/objcopy", "-I", "binary", "-O", "srec",
        "--change-addresses", std::to_string(address), save(name + ".bin", bytes), dir_ + "/" + name};
    EXPECT_EQ(0, run_process(objcopy, "").status);
    return dir_ + "/" + name;
  }
};

TEST_F(Tools, OutputsAndExitStatuses) {
  const auto tool = [](const char* path) {
    return [path](const std::vector<std::string>& args) { return target_program(path, args); };
  };
  const auto prog_x3flash = tool(PROG_X3FLASH_PATH), linecard = tool(LINECARD_PATH);
  const auto x3image = tool(X3IMAGE_PATH);
  firmware image;
  add_random_bytes(image, 0, 0x18000, 21);
  image[0x10000] = 0xFF;  // the generation byte stays the card's
  const std::string x3 = save("x3.s19", s_records(image));
  const std::string too_large = save("too_large.s19", s3_record(0x7FFFF, {1, 2}) + "\r\nS70500000000FA\r\n");
  // What prog_x3flash says on standard error up to the first `steps` steps.
  auto progress = [&](const std::string& host, int steps) {
    const char* const names[] = {"grab_flash",   "select_bank",   "erase_flash", "program_flash",
                                 "verify_flash", "write_bootval", "reboot_card"};
    std::string text = "prog_x3flash: loading " + x3 + "\nprog_x3flash: taking the scan service at " +
                       host + "\n";
    for (int i = 0; i < steps; i++) text += std::string("prog_x3flash: slot 2: ") + names[i] + "\n";
    return text;
  };
  const std::string usage = "Usage:\nprog_x3flash IP_address_or_name slot_number s19_file\n";
  const std::string bad_slot = "prog_x3flash: slot_number must be 1 to 31 (slot 0 holds no X3 card), not ";
  const char stamp[] = "Type: X3 mainline  \0Compiled on:\0Dec 5 2026\0" "17:20:01";
  const std::string stamped = save("x3.bin", "\x7f" "ELF junk" + std::string(stamp, sizeof stamp) + "tail");
  // An image file of zeros as large as linecard takes.
  const std::string zeros = save("zeros.bin", "");
  ASSERT_EQ(0, truncate(zeros.c_str(), 16 << 20));
  firmware reaching;  // stamped, and into the shared sector
  add_random_bytes(reaching, 0, 0x20000, 32);
  add_random_bytes(reaching, 0x7FF00, 0x100, 33);
  for (size_t i = 0; i < sizeof stamp; i++) reaching[0x400 + i] = stamp[i];
  reaching[0x10000] = 0xFF;
  const std::string reaching_file = save("reaching.s19", s_records(reaching));
  std::string no_line_end = s_records(image);
  no_line_end.resize(no_line_end.size() - 2);  // inside the upload the form's delimiter follows
  const std::string cut = s3_record(0x100, {1, 2, 3, 4}).substr(0, 14);
  // The microcontroller's program, and a file that differs at 0x8005.
  const std::string mcu_bytes = random_bytes(0x1234, 0x8000);
  std::string other_bytes = mcu_bytes;
  other_bytes[5] ^= 0x01;
  const std::string mcu = mcu_file(0x8000, mcu_bytes, "mcu.s19");
  const std::string erasing = "erasing pages 0x8000-0xDFFF (48 pages)\n";
  char mcu_verify[96];
  snprintf(mcu_verify, sizeof mcu_verify, "verify failure at address 8005: file = %02x, device = %02x\n",
           uint8_t(other_bytes[5]), uint8_t(mcu_bytes[5]));
  // What x3image firmware makes of seed 21: `image`, stamped at 0x200.
  const std::string generated = dir_ + "/generated.s19";
  firmware generated_image = image;
  const char generated_stamp[] = "Type: X3 mainline\0Compiled on:\0Dec 5 2026\0" "17:20:01";
  for (size_t i = 0; i < sizeof generated_stamp; i++) generated_image[0x200 + i] = generated_stamp[i];
  const auto refusal = [](const std::string& why) {
    return "x3image: " + why + "\n(x3image --help explains the commands)\n";
  };
  // Images that load but cannot be right, and the keys that sign images.
  const std::string no_data = save("no_data.s19", "S00600004844521B\nS1130000000102030405060708090A0B0C0D0E0F74\nS9030000FC\n");
  firmware low_image;
  add_random_bytes(low_image, 0, 0x8000, 22);
  const std::string low = save("low.s19", s_records(low_image));
  const std::string empty_reason = ": it holds no data byte: every card would be taken and restarted with nothing "
      "written, and the page would say the upgrade was successful";
  const std::string low_reason = ": it has no data at or above 0x10000: no generation byte would be written, so "
      "the cards would keep starting their previous firmware while the page says the upgrade was successful";
  const std::string other_bank_reason = ": it has data in 0x70000-0x7ffff: programming it erases the first sector "
      "of the card's other bank, the firmware the card falls back to";
  const std::string key = dir_ + "/key", stranger = dir_ + "/stranger";
  make_minisign_keys(key);
  make_minisign_keys(stranger);
  const std::string key_id = minisign_key_id(key), signed_x3 = dir_ + "/signed.s19";
  const std::string trailing = save("trailing.s19", s_records(image) + "more text\n");
  // A key protected by a password, as minisign -G asks for it.
  const std::string locked = dir_ + "/locked";
  ASSERT_EQ(0, run_process({MINISIGN, "-G", "-f", "-p", locked + ".pub", "-s", locked + ".key"}, "pw\npw\n").status);
  const std::string password = save("password", "pw\n"), wrong_password = save("wrong_password", "pv\n");
  // A signature of the older kind, of the bytes themselves.
  ASSERT_EQ(0, run_process({MINISIGN, "-S", "-l", "-s", key + ".key", "-m", x3, "-x", dir_ + "/legacy.minisig"}, "").status);
  const std::string keys_setting = "X3_TRUSTED_KEYS=" + key + ".pub";
  std::string signed_progress = progress("localhost", 7);
  signed_progress.replace(signed_progress.find(x3), x3.size(), signed_x3);
  const std::string default_comment = "x3image crc32:" + bank_crc(image) +
      " bytes:98304 range:0x00000-0x17fff type:none";
  // Slot 4 holds data in both banks, bank 0 of generation 254 and bank 1
  // of generation 1, which is newer.
  const std::string noise = random_bytes(X3_BANK_BASE[1] + X3_BANK_SIZE, 41);
  std::copy(noise.begin(), noise.end(), card(4)->flash);
  card(4)->flash[X3_BANK_BASE[0] + X3_GENERATION_OFFSET] = 254;
  card(4)->flash[X3_BANK_BASE[1] + X3_GENERATION_OFFSET] = 1;
  const std::string fresh_banks = banks_lines(*card(4)), history_file = dir_ + "/history.jsonl";
  // A history in which slot 2's bank 0 got another image, then a run that
  // never ended.
  const std::string other_history = save("other.jsonl",
      "{\"record\":\"begin\",\"run\":\"r1\",\"time\":\"2026-12-07T15:12:01Z\",\"program\":\"flash_x3\","
      "\"user\":\"alice\",\"address\":\"10.0.0.5\",\"image\":{\"bytes\":1,\"lowest\":\"0x00000\","
      "\"highest\":\"0x00000\",\"crc32\":\"1a2b3c4d\"},\"slots\":[2]}\n"
      "{\"record\":\"end\",\"run\":\"r1\",\"time\":\"2026-12-07T15:12:09Z\",\"slots\":[{\"slot\":2,"
      "\"result\":\"re-flashed\",\"bank\":0,\"generation\":2}],\"outcome\":\"The upgrade was successful.\"}\n"
      "{\"record\":\"begin\",\"run\":\"r2\",\"time\":\"2026-12-08T09:00:00Z\",\"program\":\"prog_x3flash\","
      "\"user\":\"bob\",\"image\":{\"bytes\":1,\"lowest\":\"0x00000\",\"highest\":\"0x00000\","
      "\"crc32\":\"1a2b3c4d\"},\"slots\":[2]}\n");
  // Slot 31 is left in monitor mode, where a grab would erase this page.
  card(31)->mcu.monitor = 1;
  card(31)->mcu.flash[0xC200] = 0x5A;

  const struct {
    const char* what;
    std::vector<std::string> faults;  // scan_sim's for this row
    std::vector<std::string> argv;
    int status;
    std::string out, err;
    std::vector<std::string> pieces = {};  // instead of `out`: what a long output holds
    int signal = 0;  // sent to the tool once scan_sim froze, then scan_sim goes on
    std::vector<std::string> env = {};  // before the lock's and the history's, so that a row's X3_HISTORY wins
  } cases[] = {
      // The rows run in order on the same cards.
      {"upgrade", {}, prog_x3flash({"localhost", "2", x3}), 0,
       "prog_x3flash: slot 2 re-flashed: bank 0 (0x00000), generation 1\n", progress("localhost", 7)},
      {"upgrade again", {}, prog_x3flash({"localhost", "2", x3}), 0,
       "prog_x3flash: slot 2 re-flashed: bank 1 (0x70000), generation 2\n", progress("localhost", 7)},
      {"erase fails", {"slot=2 erase-fails"}, prog_x3flash({"localhost", "2", x3}), 1,
       "prog_x3flash: slot 2 was not re-flashed: erase_flash failed\n",
       progress("localhost", 3) + "Erase failed - flash error\n"},
      {"no service", {}, prog_x3flash({"127.0.0.2", "2", x3}), 1,
       "prog_x3flash: cannot take the scan service at 127.0.0.2 (not reachable, or in use)\n",
       progress("127.0.0.2", 0)},
      {"no arguments", {}, prog_x3flash({}), 1, "", usage},
      {"help", {}, prog_x3flash({"--help"}), 0, "", "",
       {"usage: prog_x3flash IP_address_or_name slot_number s19_file\n\n"}},
      {"slot 0", {}, prog_x3flash({"localhost", "0", x3}), 1, "", bad_slot + "'0'\n"},
      {"slot 32", {}, prog_x3flash({"localhost", "32", x3}), 1, "", bad_slot + "'32'\n"},
      {"slot 3x", {}, prog_x3flash({"localhost", "3x", x3}), 1, "", bad_slot + "'3x'\n"},
      {"missing file", {}, prog_x3flash({"localhost", "3", dir_ + "/missing.s19"}), 1, "",
       "prog_x3flash: cannot open " + dir_ + "/missing.s19: No such file or directory\n"},
      {"too large", {}, prog_x3flash({"localhost", "3", too_large}), 1, "prog_x3flash: " + too_large +
       " is too large for the bank: it has a byte at 0x80000, and a bank holds 0x00000-0x7FFFF\n",
       "prog_x3flash: loading " + too_large + "\n"},
      // banks reads the flash the upgrade writes, and the history of
      // prog_x3flash's runs above.
      {"banks", {}, linecard({"localhost", "4", "banks"}), 0,
       fresh_banks + "history: no record of slot 4 in " + history_file + "\n", ""},
      {"banks after two upgrades", {}, linecard({"localhost", "2", "banks"}), 0, "", "",
       {"bank 1 (0x70000): generation 2, crc32 " + bank_crc(image) + "  <- starts\n",
        " by field.engineer: bank 1, generation 2, crc32 " + bank_crc(image) + ": matches\n"
        "history: the last run for slot 2 (begun ", " by field.engineer) did not attempt it\n"}},
      {"banks, another image in the history", {}, linecard({"localhost", "2", "banks"}), 0, "", "",
       {"history: slot 2 re-flashed 2026-12-07T15:12:09Z by alice (10.0.0.5): bank 0, generation 2, crc32 "
        "1a2b3c4d: differs: the card starts bank 1; bank 0 has generation 1; bank 0's crc32 is " + bank_crc(image) +
        "\nhistory: the last run for slot 2 (begun "
        "2026-12-08T09:00:00Z by bob) was interrupted: it has no end record\n"},
       0, {"X3_HISTORY=" + other_history}},
      {"banks without a history, in monitor mode", {}, linecard({"localhost", "31", "banks"}), 0, "", "",
       {"neither bank has a generation: the card has no firmware to start\n",
        "history: no record of slot 31: there is no " + dir_ + "/none.jsonl\n(the history is kept"},
       0, {"X3_HISTORY=" + dir_ + "/none.jsonl"}},
      {"banks with an unreadable history", {}, linecard({"localhost", "4", "banks"}), 0, "", "",
       {"<- starts\n", "history: cannot read " + dir_ + ": Is a directory\n"}, 0, {"X3_HISTORY=" + dir_}},
      {"banks, a read fails", {"slot=4 read#100 length=-1"}, linecard({"localhost", "4", "banks"}), 1, "",
       "linecard: slot 4: reading the card's flash at 0x06300 failed\n"},
      {"banks, stopped", {"slot=4 read#50 freeze"}, linecard({"localhost", "4", "banks"}), 1, "",
       "linecard: stopped by SIGINT; the scan service was released\n", {}, SIGINT},
      // Stopped by a signal, the tools give the service back.
      {"SIGTERM", {"slot=2 write#3 freeze"}, prog_x3flash({"localhost", "2", x3}), 1, "", progress("localhost", 4) +
       "prog_x3flash: stopped by SIGTERM in program_flash, slot 2 not finished; the scan service was released\n",
       {}, SIGTERM},
      {"SIGINT", {"slot=2 row-write#3 freeze"}, linecard({"localhost", "2", "mcu-program", mcu}), 1,
       erasing + "programming rows 0x8000-0xE1FF (73 rows with data)\n",
       "linecard: stopped by SIGINT; the scan service was released\n", {}, SIGINT},
      {"SIGHUP", {"slot=2 page-erase#2 freeze"}, linecard({"localhost", "2", "mcu-program", mcu}), 1, erasing,
       "linecard: stopped by SIGHUP; the scan service was released\n", {}, SIGHUP},
      {"info", {}, linecard({"localhost", "3", "info"}), 0, "board          X3 line card\n"
       "serial number  X3A-01203\nhardware       rev C\nfirmware       mcu 2.4.1\n", ""},
      // Type 34 entry 0 counts 1000 frames per status reply; type 1 totals
      // the error counts 10, 11, 12.
      {"counters accumulate", {}, linecard({"localhost", "3", "watch", "1", "3"}), 0, "", "",
       {"-- reading 3\n", "\n          0       3000        150      0      3      3      6   0x00  "
                           "0,0,0,0,0,0,0,0      2\n",
        "  1     1  value1 1  value2 3  value3 1  total 33 ", "  6    17  sensor 1  43.00 C\n"}},
      {"control", {}, linecard({"localhost", "3", "control", "20", "0", "5", "6"}), 0,
       "control bytes 5 6 written for type 20 record 0\n", ""},
      {"card swapped", {"slot=3 swap=3:1/1/2/14/16/17/20/34/35/18"}, linecard({"localhost", "3", "watch", "1", "2"}),
       1, "", "linecard: Type bytes don't match in Vorn_Serial:read\n", {"-- reading 1\n"}},
      {"no configuration records", {"slot=3 config#1 length=-2"}, linecard({"localhost", "3", "status"}),
       0, "", "", {"no records"}},
      {"no reading records", {"slot=3 readings#2 length=-2"}, linecard({"localhost", "3", "watch", "1", "2"}),
       0, "", "", {"-- reading 2\nno records"}},
      {"no configuration", {"slot=3 config#1 length=0"}, linecard({"localhost", "3", "info"}), 1, "", "",
       {"no configuration"}},
      {"empty slot", {}, linecard({"localhost", "5", "status"}), 1,
       "Error reading configuration, error code -1.\n", "linecard: Vorn_Serial::config\n"},
      {"monitor mode refused", {"slot=2 monitor-on#1 length=-3"}, linecard({"localhost", "2", "mcu-program", mcu}),
       1, "Error entering monitor, error code -3.\n", "linecard: Board::enter_monitor\n"},
      {"row refused", {"slot=2 row-write#1 length=-1"}, linecard({"localhost", "2", "mcu-program", mcu}), 1,
       erasing + "programming rows 0x8000-0xE1FF (73 rows with data)\nError programming row, error code -1.\n",
       "linecard: Vorn_Serial::program_row\n"},
      {"mcu-program", {}, linecard({"localhost", "2", "mcu-program", mcu}), 0,
       erasing + "programming rows 0x8000-0xE1FF (73 rows with data)\nverifying rows 0x8000-0xE1FF\nmicrocontroller programmed from " + mcu + "\n", ""},
      {"mcu-verify", {}, linecard({"localhost", "2", "mcu-verify", mcu}), 0,
       "microcontroller flash matches " + mcu + " (73 rows)\n", ""},
      {"mcu-verify, another file", {}, linecard({"localhost", "2", "mcu-verify", mcu_file(0x8000, other_bytes, "other.s19")}), 1,
       mcu_verify, "linecard: programming failure\n"},
      {"version stamp", {}, linecard({"version", stamped}), 0, "Type: X3 mainline  \n"
       "Compiled on:\nDec 5 2026\n17:20:01\ntype: X3 mainline\ndate: Dec 5 2026 17:20:01\n", ""},
      {"16 MiB without a version stamp", {}, linecard({"localhost", "3", "version", zeros}), 1,
       "no version stamp in " + zeros + "\n", ""},
      {"endless file", {}, linecard({"version", "/dev/zero"}), 1, "",
       "linecard: /dev/zero is larger than 16 MiB, too large for an X3 firmware image\n"},
      {"stamped image in the shared sector", {}, x3image({"info", reaching_file, "--json"}), 0,
       "{\"file\": \"" + reaching_file + "\", \"bytes\": 131328, \"lowest\": \"0x00000\", \"highest\": "
       "\"0x7ffff\", \"sectors\": [\"0x00000\", \"0x10000\", \"0x70000\"], \"shared_sector\": true, "
       "\"generation_byte\": true, \"crc32\": \"" + bank_crc(reaching) + "\", "
       "\"type\": \"X3 mainline\", \"compiled\": \"Dec 5 2026 17:20:01\", \"signed_by\": null, "
       "\"trusted_comment\": null}\n", ""},
      {"end record without a line end", {}, x3image({"check", save("no_line_end.s19", no_line_end)}), 0,
       dir_ + "/no_line_end.s19: accepted\n", ""},
      {"cut inside a record", {}, x3image({"check", save("cut.s19", cut)}), 1,
       "Checksum error on line:\n" + cut + "\r\n\n", ""},
      {"byte beyond the bank", {}, x3image({"info", too_large}), 1, "OutOfRange\n", ""},
      {"form for slot 0", {}, x3image({"form", x3, "--slots", "0,2"}), 1, "",
       "x3image: slot '0' is not 1 to 31 (slot 0 holds no X3 card)\n(x3image --help explains the commands)\n"},
      {"form for slot 32", {}, x3image({"form", x3, "--slots", "30-32"}), 1, "",
       refusal("slot '32' is not 1 to 31 (slot 0 holds no X3 card)")},
      {"firmware", {}, x3image({"firmware", generated, "--size", "0x18000", "--seed", "21", "--stamp",
                                "X3 mainline", "--compiled", "Dec 5 2026 17:20:01"}), 0, "", ""},
      // Refused before anything is written: the image above stays.
      {"firmware beyond the bank", {}, x3image({"firmware", generated, "--size", "0x80001"}), 1, "",
       refusal("--size must be 1 to 524288 (0x80000), got '0x80001'")},
      {"firmware stamp without a date", {}, x3image({"firmware", generated, "--size", "4096", "--stamp", "X3"}),
       1, "", refusal("--stamp TYPE and --compiled \"Mon D YYYY HH:MM:SS\" go together")},
      {"firmware stamp past the end", {}, x3image({"firmware", generated, "--size", "0x210", "--stamp", "X3",
                                                   "--compiled", "Dec 5 2026 17:20:01"}),
       1, "", refusal("--size 528 leaves no room for the version stamp at 0x00200-0x00229")},
      {"firmware the switch takes", {}, x3image({"check", generated}), 0, generated + ": accepted\n", ""},
      {"firmware of seed 0", {}, x3image({"firmware", dir_ + "/seed0.s19", "--size", "16", "--seed", "0"}),
       0, "", ""},
      // Images that load but cannot be right, and their exceptions.
      {"check without data", {}, x3image({"check", no_data}), 1, no_data + empty_reason + " (--allow empty accepts it)\n", ""},
      {"check without data, allowed", {}, x3image({"check", no_data, "--allow", "empty"}), 0, no_data + ": accepted\n", ""},
      {"check below 0x10000", {}, x3image({"check", low}), 1, low + low_reason + " (--allow no-generation accepts it)\n", ""},
      {"check into the other bank", {}, x3image({"check", reaching_file, "--allow", "empty"}), 1,
       reaching_file + other_bank_reason + " (--allow other-bank accepts it)\n", ""},
      {"check into the other bank, allowed", {}, x3image({"check", reaching_file, "--allow", "other-bank"}), 0,
       reaching_file + ": accepted\n", ""},
      {"check with an unknown exception", {}, x3image({"check", low, "--allow", "anything"}), 1, "",
       refusal("--allow takes empty, no-generation or other-bank, not 'anything'")},
      // Signing, and what sign and attach refuse.
      {"sign", {}, x3image({"sign", x3, "--key", key + ".key", "-o", signed_x3}), 0, "",
       "x3image: " + x3 + " signed by key " + key_id + " into " + signed_x3 + "\n"},
      {"verify", {}, x3image({"verify", signed_x3, "--keys", key + ".pub"}), 0,
       "key id           " + key_id + "\ntrusted comment  " + default_comment + "\nsignature good\n", ""},
      {"verify with another key", {}, x3image({"verify", signed_x3, "--keys", stranger + ".pub"}), 1,
       "key id           " + key_id + "\ntrusted comment  " + default_comment + "\nsigned by key " + key_id +
       ", which is not a trusted key\n", ""},
      {"verify unsigned", {}, x3image({"verify", x3, "--keys", key + ".pub"}), 1, "the image carries no signature\n", ""},
      {"verify with a file of no keys", {}, x3image({"verify", signed_x3, "--keys", password}), 1, "",
       "x3image: " + password + ": line 1 is neither a comment nor a minisign public key\n"},
      {"sign a signed file", {}, x3image({"sign", signed_x3, "--key", key + ".key", "-o", dir_ + "/twice.s19"}), 1,
       signed_x3 + ": already signed; x3image payload gives the file without its signature\n", ""},
      {"sign with bytes after the end record", {}, x3image({"sign", trailing, "--key", key + ".key", "-o", dir_ + "/t.s19"}),
       1, trailing + ": bytes follow the end record's line, and the switch never reads them; remove them before signing\n", ""},
      {"sign without a line end", {}, x3image({"sign", dir_ + "/no_line_end.s19", "--key", key + ".key", "-o", dir_ + "/t.s19"}),
       1, dir_ + "/no_line_end.s19: the end record has no line end; add one before signing\n", ""},
      {"sign below 0x10000", {}, x3image({"sign", low, "--key", key + ".key", "-o", dir_ + "/t.s19"}), 1,
       low + low_reason + " (--allow no-generation signs it all the same)\n", ""},
      {"sign below 0x10000, allowed", {}, x3image({"sign", low, "--key", key + ".key", "--allow", "no-generation",
                                                  "-o", dir_ + "/low_signed.s19"}), 0, "",
       "x3image: " + low + " signed by key " + key_id + " into " + dir_ + "/low_signed.s19\n"},
      {"attach a signature of the bytes themselves", {}, x3image({"attach", x3, dir_ + "/legacy.minisig", "-o", dir_ + "/t.s19"}),
       1, "", "x3image: " + dir_ + "/legacy.minisig signs the file's bytes themselves, which the switch does not "
       "take; sign without minisign's -l\n"},
      {"attach a file that is no signature", {}, x3image({"attach", x3, password, "-o", dir_ + "/t.s19"}), 1, "",
       "x3image: " + password + ": a signature has 4 lines, this one 1\n"},
      // minisign itself verifies the original against the signature x3image made.
      {"payload", {}, x3image({"payload", signed_x3, "-o", dir_ + "/original.s19", "--minisig", dir_ + "/original.minisig"}),
       0, "", ""},
      {"minisign verifies the payload", {}, {MINISIGN, "-Vm", dir_ + "/original.s19", "-x", dir_ + "/original.minisig",
                                             "-p", key + ".pub"}, 0,
       "Signature and comment signature verified\nTrusted comment: " + default_comment + "\n", ""},
      {"payload of an unsigned file", {}, x3image({"payload", x3}), 1, "", "x3image: " + x3 + " carries no signature\n"},
#ifdef SODIUM_LIBRARY_MINIMAL
      {"sign with a password", {}, x3image({"sign", x3, "--key", locked + ".key", "--password-file", password, "-o",
                                            dir_ + "/t.s19"}), 1, "",
       "x3image: " + locked + ".key: it is protected by a password, and this build's signature library has no "
       "scrypt to open it\n"},
#else
      {"sign with a wrong password", {}, x3image({"sign", x3, "--key", locked + ".key", "--password-file", wrong_password,
                                                  "-o", dir_ + "/t.s19"}), 1, "",
       "x3image: " + locked + ".key: wrong password\n"},
      {"sign with a password", {}, x3image({"sign", x3, "--key", locked + ".key", "--password-file", password, "-o",
                                            dir_ + "/locked.s19"}), 0, "",
       "x3image: " + x3 + " signed by key " + minisign_key_id(locked) + " into " + dir_ + "/locked.s19\n"},
#endif
      // prog_x3flash with the switch's trusted keys: what they signed, and
      // nothing else.
      {"upgrade with a signed image", {}, prog_x3flash({"localhost", "2", signed_x3}), 0,
       "prog_x3flash: slot 2 re-flashed: bank 0 (0x00000), generation 3\n", signed_progress, {}, 0, {keys_setting}},
      {"upgrade with an unsigned image", {}, prog_x3flash({"localhost", "2", x3}), 1, "",
       "prog_x3flash: loading " + x3 + "\nprog_x3flash: Refused: the image is not signed, and this switch accepts "
       "signed images only.\nprog_x3flash: image signature: the image carries no signature\n", {}, 0, {keys_setting}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    start_sim(c.faults);
    // The rows' own history, else the table's; never both, as a variable
    // twice in the environment reads differently under qemu-user.
    std::vector<std::string> env = c.env;
    env.insert(env.end(), {lock_setting(), "LOGNAME=field.engineer"});
    if (std::none_of(env.begin(), env.end(), [](const std::string& v) { return v.rfind("X3_HISTORY=", 0) == 0; }))
      env.push_back("X3_HISTORY=" + history_file);
    const int pid = start_process(c.argv, "/dev/null", dir_ + "/out", dir_ + "/err", env);
    if (c.signal) {
      ASSERT_TRUE(wait_until_sim_frozen());
      kill(pid, c.signal);
      kill(sim_pid_, SIGCONT);
    }
    const int status = stop_process(pid, 0);
    const process_result r = {read_file(dir_ + "/out"), read_file(dir_ + "/err"), status};
    EXPECT_TRUE(service_is_free());
    stop_sim();
    unlink((dir_ + "/out").c_str());
    unlink((dir_ + "/err").c_str());
    EXPECT_EQ(c.status, r.status);
    if (c.pieces.empty()) {
      EXPECT_EQ(c.out, r.out);
    }
    for (const std::string& piece : c.pieces) EXPECT_NE(std::string::npos, r.out.find(piece)) << r.out;
    EXPECT_EQ(c.err, r.err);
  }
  // prog_x3flash's runs past the lock, in the history: who ran each, what
  // slot 2 came to and the outcome, the tool's last line.
  std::vector<std::string> runs;
  std::ifstream history(history_file);
  static const std::regex begin(".*\"record\":\"begin\".*\"program\":\"prog_x3flash\",\"user\":\"([^\"]*)\".*");
  static const std::regex end(".*\"record\":\"end\".*\"slots\":\\[\\{\"slot\":2,(.*)\\}\\],\"outcome\":\"([^\"]*)\"\\}");
  for (std::string line; std::getline(history, line);) {
    std::smatch m;
    if (std::regex_match(line, m, begin)) runs.push_back("begin by " + m[1].str());
    else if (std::regex_match(line, m, end)) runs.push_back(m[1].str() + ": " + m[2].str());
    else runs.push_back("not a record: " + line);
  }
  const std::string by = "begin by field.engineer";
  EXPECT_EQ((std::vector<std::string>{
                by, "\"result\":\"re-flashed\",\"bank\":0,\"generation\":1: prog_x3flash: slot 2 re-flashed: bank 0 (0x00000), generation 1",
                by, "\"result\":\"re-flashed\",\"bank\":1,\"generation\":2: prog_x3flash: slot 2 re-flashed: bank 1 (0x70000), generation 2",
                by, "\"result\":\"failed\",\"step\":\"erase_flash\",\"message\":\"Erase failed - flash error\": "
                    "prog_x3flash: slot 2 was not re-flashed: erase_flash failed",
                by, "\"result\":\"not attempted\": prog_x3flash: cannot take the scan service at 127.0.0.2 (not reachable, or in use)",
                by, "\"result\":\"failed\",\"step\":\"program_flash\",\"message\":\"stopped by SIGTERM\": "
                    "prog_x3flash: stopped by SIGTERM in program_flash",
                by, "\"result\":\"re-flashed\",\"bank\":0,\"generation\":3: prog_x3flash: slot 2 re-flashed: bank 0 (0x00000), generation 3"}),
            runs);
  auto state = card(2);
  EXPECT_EQ(3u, state->boot.boot_count);
  EXPECT_EQ(mcu_bytes + '\xFF', std::string(state->mcu.flash + 0x8000, state->mcu.flash + 0x9235));
  EXPECT_EQ(0u, state->mcu.monitor);  // left monitor mode after the failure
  EXPECT_EQ(0u, card(31)->mcu.monitor);
  EXPECT_EQ(0x5A, card(31)->mcu.flash[0xC200]);
  EXPECT_EQ(5, card(3)->mcu.control[7][0]);  // the type 20 record is the 7th
  EXPECT_EQ(6, card(3)->mcu.control[7][1]);
  // x3image firmware's records are those of `generated_image`, with LF
  // line ends after a header of its own.
  std::string records = s_records(generated_image);
  records.erase(std::remove(records.begin(), records.end(), '\r'), records.end());
  const std::string text = read_file(generated), want = records.substr(records.find('\n')),
                    got = text.substr(text.find('\n'));
  const auto [w, g] = std::mismatch(want.begin(), want.end(), got.begin(), got.end());
  EXPECT_TRUE(w == want.end() && g == got.end()) << "at byte " << g - got.begin() << ": "
                                                 << std::string(g, std::min(g + 80, got.end()));
  EXPECT_EQ("S0", text.substr(0, 2));
}

// The lines a terminal shows for `bytes`: "\r" back to the line's start,
// "\033[K" clears to its end, other bytes overwrite.
std::vector<std::string> as_shown(const std::string& bytes) {
  std::vector<std::string> lines(1);
  size_t column = 0;
  for (size_t i = 0; i < bytes.size(); i++) {
    std::string& line = lines.back();
    if (bytes.compare(i, 3, "\033[K") == 0) {
      line.resize(column);
      i += 2;
    } else if (bytes[i] == '\r') {
      column = 0;
    } else if (bytes[i] == '\n') {
      lines.emplace_back();
      column = 0;
    } else {
      if (column < line.size()) line[column] = bytes[i];
      else line += bytes[i];
      column++;
    }
  }
  return lines;
}

// prog_x3flash with standard error on a terminal: one line a step, its
// sectors or rows redrawn in place, a failure's message on a line of its
// own below the step's.
TEST_F(Tools, ProgressLineOnATerminal) {
  firmware image;
  add_random_bytes(image, 0, 0x18000, 21);
  image[0x10000] = 0xFF;
  const std::string x3 = dir_ + "/x3.s19", rows = std::to_string(0x18000 / 0x100);
  write_file(x3, s_records(image));
  const std::string head = "prog_x3flash: slot 3: ";
  const std::vector<std::string> first = {"prog_x3flash: loading " + x3,
                                          "prog_x3flash: taking the scan service at localhost",
                                          head + "grab_flash", head + "select_bank"};
  const struct {
    std::vector<std::string> faults;
    int status;
    std::vector<std::string> shown;
  } cases[] = {
      {{}, 0, {head + "erase_flash, 2 of 2 sectors", head + "program_flash, " + rows + " of " + rows + " rows",
               head + "verify_flash, " + rows + " of " + rows + " rows", head + "write_bootval",
               head + "reboot_card", ""}},
      {{"slot=3 erase-fails"}, 1, {head + "erase_flash, 0 of 2 sectors", "Erase failed - flash error", ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    start_sim(c.faults);
    termios raw;
    cfmakeraw(&raw);
    int terminal = -1, tool_side = -1;
    ASSERT_EQ(0, openpty(&terminal, &tool_side, nullptr, &raw, nullptr));
    const int pid = start_process(target_program(PROG_X3FLASH_PATH, {"localhost", "3", x3}), "/dev/null",
                                  dir_ + "/out", ttyname(tool_side), {lock_setting(), "X3_HISTORY=" + dir_ + "/h.jsonl"});
    close(tool_side);
    // Everything the tool writes, read as it comes, until it has ended.
    std::string bytes;
    siginfo_t ended = {};
    for (;;) {
      pollfd ready = {terminal, POLLIN, 0};
      char buffer[4096];
      ssize_t n = poll(&ready, 1, 100) == 1 ? read(terminal, buffer, sizeof buffer) : 0;
      if (n > 0) bytes.append(buffer, size_t(n));
      else if (waitid(P_PID, pid, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid == pid) break;
    }
    close(terminal);
    EXPECT_EQ(c.status, stop_process(pid, 0));
    stop_sim();
    std::vector<std::string> shown = first;
    shown.insert(shown.end(), c.shown.begin(), c.shown.end());
    EXPECT_EQ(shown, as_shown(bytes));
    EXPECT_NE(std::string::npos, bytes.find("\r\033[K" + head + "erase_flash\r\033[K" + head + "erase_flash, ")) << bytes;
  }
}

#ifndef X3_SANITIZE
// flash_x3's code with a whole bank (linked dynamically, so that valgrind
// follows its heap) and the tools' longer runs, clean under valgrind
// (which cannot run the sanitizer build): a memory error or a leak of any
// kind but "still reachable" makes it exit with 99.
TEST_F(Tools, CleanUnderValgrind) {
  const std::string valgrind = "/usr/bin/valgrind";
  if (access(valgrind.c_str(), X_OK) != 0) GTEST_SKIP() << "valgrind is not installed";
#ifdef X3_TARGET_EMULATOR
  GTEST_SKIP() << "valgrind does not run the target's programs";
#endif
  start_sim({"slot=4 swap=3:1/18"});
  firmware full;  // a whole bank, the generation byte left erased
  add_random_bytes(full, 0, 0x80000, 11);
  full[0x10000] = 0xFF;
  const std::string mcu = mcu_file(0xA000, random_bytes(0x300, 0xA000), "mcu.s19");
  // flash_x3 once more with trusted keys, checking the full image's
  // signature.
  make_minisign_keys(dir_ + "/key");
  const std::string full_file = save("full.s19", s_records(full));
  ASSERT_EQ(0, run_process({X3IMAGE_PATH, "sign", full_file, "--key", dir_ + "/key.key", "--allow", "other-bank",
                            "-o", dir_ + "/full_signed.s19"}, "").status);
  const std::vector<std::string> runs[] = {
      {FLASH_X3_DYNAMIC_PATH},
      {FLASH_X3_DYNAMIC_PATH, "signed"},
      {LINECARD_PATH, "localhost", "2", "mcu-program", mcu},
      {LINECARD_PATH, "localhost", "4", "watch", "1", "2"},  // fails on the swapped card
      {LINECARD_PATH, "localhost", "3", "banks"},
      {PROG_X3FLASH_PATH, "localhost", "3", full_file}};
  for (const auto& run : runs) {
    std::vector<std::string> argv = {valgrind, "--error-exitcode=99", "--leak-check=full",
                                     "--errors-for-leak-kinds=definite,indirect,possible"};
    const bool cgi = run[0] == FLASH_X3_DYNAMIC_PATH, with_keys = run.size() == 2;
    argv.push_back(run[0]);
    if (!cgi) argv.insert(argv.end(), run.begin() + 1, run.end());
    const std::string input = cgi ? multipart_form({1}, read_file(with_keys ? dir_ + "/full_signed.s19" : full_file)) : "";
    std::vector<std::string> env = {"CONTENT_TYPE=" + form_content_type(), lock_setting()};
    if (with_keys) env.push_back("X3_TRUSTED_KEYS=" + dir_ + "/key.pub");
    process_result r = run_process(argv, input, env);
    EXPECT_EQ(std::string::npos, r.err.find("image signature")) << r.err;
    EXPECT_NE(99, r.status) << run[0] << ": " << r.err;
    EXPECT_NE(std::string::npos, r.err.find("ERROR SUMMARY: 0 errors")) << r.err;
    // What stays allocated at flash_x3's end: the image buffer, kept to the
    // end by design, and the C++ runtime's own exception pool.
    EXPECT_TRUE(!cgi || r.err.find("still reachable: 2,169,856 bytes in 2 blocks") !=
                std::string::npos) << r.err;
  }
}
#endif

}  // namespace
