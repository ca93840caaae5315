// This build's programs as child processes of the whole-program tests.
#ifndef TESTS_SUPPORT_PROCESS_H
#define TESTS_SUPPORT_PROCESS_H

#include <string>
#include <vector>

struct process_result {
  std::string out, err;
  int status;  // exit status, or 128 + signal number
};

// Runs `argv` (argv[0] is the path) to its end with `input` on standard
// input and `environment` ("NAME=value" entries) as all of its environment.
process_result run_process(const std::vector<std::string>& argv, const std::string& input,
                           const std::vector<std::string>& environment = {});

// Starts `argv` in the background with standard input from the file
// `in_path`, standard output and error appended to `out_path` and
// `err_path`; returns its PID. The second form: no input, both outputs to
// `log_path`, and this process's environment.
int start_process(const std::vector<std::string>& argv, const std::string& in_path,
                  const std::string& out_path, const std::string& err_path,
                  const std::vector<std::string>& environment);
int start_process(const std::vector<std::string>& argv, const std::string& log_path);

// Sends `signal` (0: none) to a process started by start_process and
// waits for it; returns its exit status, or 128 + the signal number.
int stop_process(int pid, int signal);

// A command line for one of this build's programs: the program itself, or,
// in a cross build, the program under the emulator that runs the target's
// binaries here (the build's X3_TARGET_EMULATOR).
std::vector<std::string> target_program(const std::string& path,
                                        const std::vector<std::string>& args = {});

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& contents);

#endif
