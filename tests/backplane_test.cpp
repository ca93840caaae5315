// Several clients of the scan service at once: two uploads to one card,
// and clients that stall or hang up while holding a place.
#include <poll.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/scan_sim_fixture.h"

namespace {

// Whether process `pid` waits for a flock lock: a "->" line of /proc/locks.
bool waits_for_lock(int pid) {
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, arrow, kind, mode, access, owner;
    fields >> number >> arrow >> kind >> mode >> access >> owner;
    if (arrow == "->" && kind == "FLOCK" && owner == std::to_string(pid)) return true;
  }
  return false;
}

// A connection to the simulator with `request` sent on it.
int send_raw(const std::vector<uint8_t>& request) {
  qb_client_t client("127.0.0.1", J5_SCAN_PORT);
  const int fd = client.open_connection("127.0.0.1", J5_SCAN_PORT);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(ssize_t(request.size()), write(fd, request.data(), request.size()));
  return fd;
}

// The kind and run of each record of a history file, in file order:
// "begin 20261207T151201Z-4711".
std::vector<std::string> history_records(const std::string& path) {
  static const std::regex record("^\\{\"record\":\"(begin|end)\",\"run\":\"([^\"]+)\".*\\}$");
  std::vector<std::string> records;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    records.push_back(std::regex_match(line, m, record) ? m[1].str() + " " + m[2].str() : "not a record");
  }
  return records;
}

class Backplane : public ScanSimTest {
 protected:
  // flash_x3 as the web server runs it, in the background, for slot 1:
  // the page goes to dir_/NAME.page, standard error to dir_/NAME.err.
  int upgrade(const firmware& image, const std::string& name) {
    const std::string path = dir_ + "/" + name;
    write_file(path, multipart_form({1}, s_records(image)));
    return start_process(target_program(FLASH_X3_PATH), path, path + ".page", path + ".err",
                         {"CONTENT_TYPE=" + form_content_type(), lock_setting(), "X3_HISTORY=" + history()});
  }
  std::string history() const { return dir_ + "/history.jsonl"; }
};

// Two operators post different images for slot 1 a moment apart. The
// first run is frozen at its first erase, after it chose bank 0; the
// second must wait for it without asking the service for anything, then
// program the other bank.
TEST_F(Backplane, TwoUpgradesOfOneCardRunOneAfterTheOther) {
  firmware first, second;
  add_random_bytes(first, 0, 0x18000, 12);
  add_random_bytes(second, 0x100, 0x18000, 13);
  first.erase(0x10000);  // where the generation byte goes
  second.erase(0x10000);
  start_sim({"slot=1 erase#1 freeze"});
  const int first_pid = upgrade(first, "first");
  ASSERT_TRUE(wait_until_sim_frozen());
  const int second_pid = upgrade(second, "second");
  bool waiting = false;
  for (int i = 0; i < 5000 && !waiting; i++) {
    waiting = waits_for_lock(second_pid);
    if (!waiting) usleep(1000);
  }
  EXPECT_TRUE(waiting) << "the second upgrade did not wait for the first";
  kill(sim_pid_, SIGCONT);
  EXPECT_EQ(0, stop_process(first_pid, 0));
  EXPECT_EQ(0, stop_process(second_pid, 0));
  for (const char* run : {"first", "second"}) {
    EXPECT_NE(std::string::npos, read_file(dir_ + "/" + run + ".page").find("1 card re-flashed")) << run;
    EXPECT_EQ("", read_file(dir_ + "/" + run + ".err")) << run;
  }
  auto state = card(1);
  EXPECT_EQ(first.at(0x10), state->flash[0x10]);
  EXPECT_EQ(second.at(0x110), state->flash[0x70110]);
  EXPECT_EQ(2u, state->boot.boot_count);
  EXPECT_EQ(1u, state->boot.booted_bank);
  EXPECT_EQ(2u, state->boot.generation);
  // Each run is recorded whole, one after the other in lock order.
  const auto records = history_records(history());
  ASSERT_EQ(4u, records.size());
  const std::string first_run = records[0].substr(6), second_run = records[2].substr(6);
  EXPECT_EQ((std::vector<std::string>{"begin " + first_run, "end " + first_run, "begin " + second_run,
                                      "end " + second_run}),
            records);
  EXPECT_NE(std::string::npos, first_run.find("-" + std::to_string(first_pid)));
  EXPECT_NE(first_run, second_run);
}

// A run killed in the middle of a card, alone or with the whole controller
// (the scan service dies too), leaves its begin without an end: the
// history shows it as interrupted, and the card starts its previous
// firmware.
TEST_F(Backplane, AKilledRunIsRecordedAsInterrupted) {
  firmware image;
  add_random_bytes(image, 0, 0x18000, 14);
  image.erase(0x10000);
  for (const bool power_cut : {false, true}) {
    SCOPED_TRACE(power_cut ? "controller power cut" : "flash_x3 killed");
    unlink(history().c_str());
    start_sim({"slot=1 write#3 freeze"});
    const int pid = upgrade(image, "killed");
    ASSERT_TRUE(wait_until_sim_frozen());
    EXPECT_EQ(128 + SIGKILL, stop_process(pid, SIGKILL));
    if (power_cut) {
      stop_sim(SIGKILL);
    } else {
      kill(sim_pid_, SIGCONT);
      stop_sim();
    }
    const auto records = history_records(history());
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(0u, records[0].find("begin "));
    auto state = card(1);
    EXPECT_EQ(0u, state->boot.boot_count);
    EXPECT_EQ(0xFF, state->flash[0x10000]) << "the bank being programmed has a generation";
  }
}

TEST_F(Backplane, TheServiceIsNotLeftToClientsThatAreGone) {
  start_sim({"slot=2 reboot#1 freeze"}, {"--idle-timeout", "1"});
  // A client that sends three bytes and stalls is dropped after the idle
  // time, unanswered.
  const int stalled = send_raw({0, 0, 0});
  pollfd ended = {stalled, POLLIN, 0};
  EXPECT_EQ(1, poll(&ended, 1, 15000)) << "the stalled client still holds the service";
  char byte = 0;
  EXPECT_EQ(0, recv(stalled, &byte, 1, MSG_DONTWAIT));
  close(stalled);

  // A grab for client 7 waits in the listen queue behind a restart that
  // froze the service, and its client hangs up before it is served.
  std::vector<uint8_t> restart = wire_words({9, 1, 2, 0x93, 0, 3});
  restart.insert(restart.end(), {1, 1, 1});
  const int restarting = send_raw(restart);
  ASSERT_TRUE(wait_until_sim_frozen());
  close(send_raw(wire_words({7, 1, 0, J5_SCAN_OP_GRAB, 0, 0})));
  kill(sim_pid_, SIGCONT);
  uint8_t reply[4];
  EXPECT_EQ(4, read(restarting, reply, sizeof reply));
  close(restarting);
  EXPECT_TRUE(service_is_free()) << "the service is held for a client that is gone";
}

}  // namespace
