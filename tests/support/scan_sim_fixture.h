// A test fixture that runs scan_sim on 127.0.0.1:1971 with its cards kept
// in state files of a fresh temporary directory: the whole-program tests
// run the real programs against it and read the cards from those files.
#ifndef TESTS_SUPPORT_SCAN_SIM_FIXTURE_H
#define TESTS_SUPPORT_SCAN_SIM_FIXTURE_H

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "flashing/upgrade_lock.h"
#include "sim/card_state_file.h"
#include "tests/support/firmware.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"

class ScanSimTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/x3_test_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    dir_ = pattern;
    state_ = dir_ + "/state";
    mkdir(state_.c_str(), 0755);
    // This test's upgrades serialise on a lock file of their own; programs
    // started in the background inherit it from here.
    setenv(UPGRADE_LOCK_VARIABLE, (dir_ + "/upgrade.lock").c_str(), 1);
  }
  void TearDown() override {
    stop_sim();
    if (HasFailure()) fprintf(stderr, "kept %s\n", dir_.c_str());
    else system(("rm -rf " + dir_).c_str());
  }

  // Starts scan_sim with cards in slots 1-4 and 31 and the given faults:
  // this build's, or the one X3_SCAN_SIM names (a cross build's tests run
  // the host's scan_sim that way, so that the two byte orders meet).
  void start_sim(const std::vector<std::string>& faults = {},
                 const std::vector<std::string>& options = {}) {
    const char* host_sim = getenv("X3_SCAN_SIM");
    std::vector<std::string> argv = host_sim ? std::vector<std::string>{host_sim}
                                             : target_program(SCAN_SIM_PATH);
    argv.insert(argv.end(), {"--state", state_, "--cards", "1-4,31"});
    argv.insert(argv.end(), options.begin(), options.end());
    for (const std::string& f : faults) argv.insert(argv.end(), {"--fault", f});
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
  static bool service_is_free() {
    test_scan_client_t other(J5_SCAN_PORT, J5_SCAN_ID_TEST_OTHER);
    return other.grab() && other.release();
  }

  static std::string lock_setting() {
    return std::string(UPGRADE_LOCK_VARIABLE) + "=" + getenv(UPGRADE_LOCK_VARIABLE);
  }
  // The card in `slot` mapped from its state file (created blank when
  // missing): it shows every command scan_sim has acknowledged, and what a
  // test writes there is the card's state at the next start.
  std::shared_ptr<x3_card_state> card(int slot) const {
    return map_card_state(card_state_path(state_, slot));
  }

  std::string dir_, state_;
  int sim_pid_ = -1;
};

#endif
