// A test fixture that runs the scan_sim program on 127.0.0.1:1971 with its
// card state in a fresh temporary directory, for whole-program tests of
// the tools that talk to the scan service.
#ifndef TESTS_SCAN_SIM_FIXTURE_H
#define TESTS_SCAN_SIM_FIXTURE_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "scan/j5_scan_server.h"
#include "tests/support/loopback.h"
#include "frontend/upgrade_lock.h"
#include "sim/card_state_file.h"
#include "tests/support/firmware.h"
#include "tests/support/process.h"

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void write_file(const std::string& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary);
  out.write(static_cast<const char*>(data), size);
}

class ScanSimTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/x3_test_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    state_ = dir_ + "/state";
    // The upgrades of this test serialise on a lock file of their own;
    // programs started in the background inherit it from here.
    setenv(UPGRADE_LOCK_VARIABLE, upgrade_lock().c_str(), 1);
  }
  void TearDown() override {
    stop_sim();
    if (HasFailure()) {
      fprintf(stderr, "kept %s; simulator log:\n%s\n", dir_.c_str(),
              read_file(dir_ + "/sim.log").c_str());
    } else {
      system(("rm -rf " + dir_).c_str());
    }
  }

  // Starts scan_sim with cards in slots 1-4, the given faults and further
  // options: this build's, or the one X3_SCAN_SIM names (a cross build's
  // tests run the host's scan_sim that way, so that the two byte orders
  // meet).
  void start_sim(const std::vector<std::string>& faults = {},
                 const std::vector<std::string>& options = {}) {
    std::vector<std::string> args = {"--state", state_, "--cards", "1-4"};
    args.insert(args.end(), options.begin(), options.end());
    for (const std::string& f : faults) {
      args.push_back("--fault");
      args.push_back(f);
    }
    const char* host_sim = getenv("X3_SCAN_SIM");
    std::vector<std::string> argv = host_sim ? std::vector<std::string>{host_sim}
                                             : target_program(SCAN_SIM_PATH);
    argv.insert(argv.end(), args.begin(), args.end());
    sim_pid_ = start_process(argv, dir_ + "/sim.log");
    ASSERT_TRUE(wait_for_listener(J5_SCAN_PORT));
  }
  // Waits until scan_sim has stopped itself at a "freeze" fault: the exact
  // command the fault names, however slow the machine.
  bool wait_until_sim_frozen() const {
    int status = 0;
    return waitpid(sim_pid_, &status, WUNTRACED) == sim_pid_ && WIFSTOPPED(status);
  }
  void stop_sim(int signal = SIGTERM) {
    if (sim_pid_ > 0) stop_process(sim_pid_, signal);
    sim_pid_ = -1;
  }

  std::string upgrade_lock() const { return dir_ + "/upgrade.lock"; }
  std::string upgrade_lock_setting() const {
    return std::string(UPGRADE_LOCK_VARIABLE) + "=" + upgrade_lock();
  }

  // flash_x3 as the web server runs it, for the ticked slots.
  process_result upgrade(const std::vector<int>& slots, const std::string& file) const {
    return run_process(target_program(FLASH_X3_PATH), multipart_form(slots, file),
                       {"CONTENT_TYPE=" + form_content_type(), upgrade_lock_setting()});
  }

  // The same in the background: the page goes to dir_/NAME.page, standard
  // error to dir_/NAME.err. Returns the PID of flash_x3 itself.
  int start_upgrade(const std::vector<int>& slots, const std::string& file,
                    const std::string& name) const {
    const std::string body = dir_ + "/" + name + ".body";
    const std::string form = multipart_form(slots, file);
    write_file(body, form.data(), form.size());
    std::string program;
    for (const std::string& word : target_program(FLASH_X3_PATH)) program += word + " ";
    const std::string command = "CONTENT_TYPE='" + form_content_type() + "' exec " + program +
                                "<" + body + " >" + dir_ + "/" + name + ".page 2>" + dir_ + "/" +
                                name + ".err";
    return start_process({"/bin/sh", "-c", command}, dir_ + "/" + name + ".log");
  }

  // Runs a standard tool that must succeed.
  static void tool(const std::vector<std::string>& argv) {
    process_result r = run_process(argv, "");
    ASSERT_EQ(0, r.status) << argv[0] << ": " << r.err;
  }

  // The card in `slot` as its state file has it now.
  std::unique_ptr<x3_card_state> card(int slot) const {
    auto state = std::make_unique<x3_card_state>();
    EXPECT_TRUE(read_card_state(card_state_path(state_, slot), state.get()));
    return state;
  }

  // Overwrites bytes of a card's state file (for instance its generation
  // bytes at 0x10000 and 0x80000), as if the card had been left so.
  void patch_card(int slot, size_t offset, const std::vector<uint8_t>& bytes) const {
    int fd = open(card_state_path(state_, slot).c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), pwrite(fd, bytes.data(), bytes.size(), offset));
    close(fd);
  }

  std::string dir_, state_;
  int sim_pid_ = -1;
};

#endif
