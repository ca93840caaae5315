#include "tests/support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

int start_process(const std::vector<std::string>& argv, const std::string& in_path,
                  const std::string& out_path, const std::string& err_path,
                  const std::vector<std::string>& environment) {
  std::vector<char*> args, env;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& e : environment) env.push_back(const_cast<char*>(e.c_str()));
  args.push_back(nullptr);
  env.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    dup2(open(in_path.c_str(), O_RDONLY), 0);
    dup2(open(out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644), 1);
    dup2(open(err_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644), 2);
    execve(args[0], args.data(), env.data());
    _exit(127);
  }
  return pid;
}

int start_process(const std::vector<std::string>& argv, const std::string& log_path) {
  std::vector<std::string> environment;
  for (char** e = environ; *e; e++) environment.push_back(*e);
  return start_process(argv, "/dev/null", log_path, log_path, environment);
}

int stop_process(int pid, int signal) {
  if (signal) kill(pid, signal);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

process_result run_process(const std::vector<std::string>& argv, const std::string& input,
                           const std::vector<std::string>& environment) {
  char pattern[] = "/tmp/x3_run_XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
  const std::string dir = pattern;
  write_file(dir + "/in", input);
  const int pid = start_process(argv, dir + "/in", dir + "/out", dir + "/err", environment);
  const int status = stop_process(pid, 0);
  const process_result r{read_file(dir + "/out"), read_file(dir + "/err"), status};
  for (const char* name : {"/in", "/out", "/err"}) unlink((dir + name).c_str());
  rmdir(dir.c_str());
  return r;
}

std::vector<std::string> target_program(const std::string& path,
                                        const std::vector<std::string>& args) {
  std::vector<std::string> argv;
#ifdef X3_TARGET_EMULATOR
  std::istringstream emulator(X3_TARGET_EMULATOR);
  for (std::string word; emulator >> word;) argv.push_back(word);
#endif
  argv.push_back(path);
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const std::string& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}
