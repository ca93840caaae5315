#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <stdexcept>

namespace {

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(what);
}

}  // namespace

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

bool emulated_target() {
#ifdef X3_TARGET_EMULATOR
  return true;
#else
  return false;
#endif
}

process_result run_process(const std::vector<std::string>& argv, const std::string& input,
                           const std::vector<std::string>& environment) {
  int in[2], out[2], err[2];
  check(pipe(in) == 0 && pipe(out) == 0 && pipe(err) == 0, "pipe");
  pid_t pid = fork();
  check(pid >= 0, "fork");
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    signal(SIGPIPE, SIG_DFL);
    std::vector<char*> args, env;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    for (const std::string& e : environment) env.push_back(const_cast<char*>(e.c_str()));
    args.push_back(nullptr);
    env.push_back(nullptr);
    execve(args[0], args.data(), env.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  // A child that stops reading must not kill the test with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  fcntl(in[1], F_SETFL, O_NONBLOCK);

  process_result result{};
  size_t sent = 0;
  int to_child = in[1];
  if (input.empty()) {
    close(to_child);
    to_child = -1;
  }
  int from_out = out[0], from_err = err[0];
  while (from_out >= 0 || from_err >= 0) {
    pollfd fds[3] = {{to_child, POLLOUT, 0}, {from_out, POLLIN, 0}, {from_err, POLLIN, 0}};
    if (poll(fds, 3, -1) < 0) {
      check(errno == EINTR, "poll");
      continue;
    }
    if (to_child >= 0 && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(to_child, input.data() + sent, input.size() - sent);
      if (n > 0) sent += n;
      if (n < 0 && errno != EAGAIN) sent = input.size();  // the child closed its end
      if (sent == input.size()) {
        close(to_child);
        to_child = -1;
      }
    }
    for (int i : {1, 2}) {
      int& fd = i == 1 ? from_out : from_err;
      std::string& text = i == 1 ? result.out : result.err;
      if (fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
        char buffer[65536];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
          text.append(buffer, n);
        } else {
          close(fd);
          fd = -1;
        }
      }
    }
  }
  if (to_child >= 0) close(to_child);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

int start_process(const std::vector<std::string>& argv, const std::string& log_path) {
  pid_t pid = fork();
  check(pid >= 0, "fork");
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(in, 0);
    dup2(log, 1);
    dup2(log, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

int stop_process(int pid, int signal) {
  kill(pid, signal);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
