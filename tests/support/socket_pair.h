// One request to a server's connection handler over a socket pair, for the
// scan server's unit test and its fuzz target.
#ifndef TESTS_SUPPORT_SOCKET_PAIR_H
#define TESTS_SUPPORT_SOCKET_PAIR_H

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/thrown.h"

struct served {
  std::vector<uint8_t> answer, unread;  // unread: what the handler left of the request
  std::string thrown;                   // or NOTHING_THROWN
};

// Runs `handle` on one end of a socket pair while a second thread sends
// `request` (a byte per write when `piecewise`, so the handler meets a
// request in pieces) and this one reads the answer: no side ever waits on
// a full socket. The two threads run with SIGALRM blocked (alarm_blocked).
inline served serve_over_socket_pair(const std::function<void(int)>& handle,
                                     const std::vector<uint8_t>& request, bool piecewise) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
  const auto drain = [](int fd, std::vector<uint8_t>& out) {
    uint8_t buffer[8192];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;) {
      if (n > 0) out.insert(out.end(), buffer, buffer + n);
      else if (errno != EINTR) break;
    }
  };
  served s;
  std::thread server, client;
  {
    const alarm_blocked blocked;  // in the two threads, not in this one
    server = std::thread([&] {
      s.thrown = thrown_message([&] { handle(fds[0]); });
      drain(fds[0], s.unread);
      close(fds[0]);
    });
    client = std::thread([&] {
      const size_t step = piecewise ? 1 : request.size();
      for (size_t sent = 0; sent < request.size();) {
        const size_t length = std::min(step, request.size() - sent);
        const ssize_t n = send(fds[1], request.data() + sent, length, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      shutdown(fds[1], SHUT_WR);
    });
  }
  drain(fds[1], s.answer);
  client.join();
  server.join();
  close(fds[1]);
  return s;
}

#endif
