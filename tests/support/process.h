// Runs a program as a child process with given standard input and
// environment, and collects what it wrote and how it ended.
#ifndef TESTS_SUPPORT_PROCESS_H
#define TESTS_SUPPORT_PROCESS_H

#include <string>
#include <vector>

struct process_result {
  std::string out;  // standard output
  std::string err;  // standard error
  int status;       // exit status, or 128 + signal number
};

// Runs `argv` (argv[0] is the path) with `environment` added to an empty
// environment ("NAME=value" entries), feeding `input` to its standard
// input. Input the program does not read is dropped.
process_result run_process(const std::vector<std::string>& argv, const std::string& input,
                           const std::vector<std::string>& environment = {});

// A command line for one of this build's programs: the program itself, or,
// in a cross build, the program under the emulator that runs the target's
// binaries here (the build's X3_TARGET_EMULATOR).
std::vector<std::string> target_program(const std::string& path,
                                        const std::vector<std::string>& args = {});

// True in a cross build, whose programs run under an emulator.
bool emulated_target();

// Starts `argv` in the background with standard input from /dev/null and
// standard output and error appended to `log_path`; returns its PID.
int start_process(const std::vector<std::string>& argv, const std::string& log_path);

// Sends `signal` to a process started by start_process and waits for it;
// returns its exit status, or 128 + the signal number.
int stop_process(int pid, int signal);

#endif
