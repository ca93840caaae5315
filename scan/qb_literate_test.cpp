#include "scan/qb_literate.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

#include "scan/qb_client.h"
#include "tests/support/loopback.h"
#include "tests/support/thrown.h"

namespace {

TEST(QbLiterate, BrokenPreconditionsWritesAndEndpoints) {
  qb_literate_t io;
  qb_client_t client("127.0.0.1", 1);
  j5_scan_server_t server;
  const int32_t taken = unused_loopback_port();
  serve_in_background<j5_scan_server_t>(taken);
  char buffer[4];
  const std::string failed = "assertion failed. ", transfer = "(fd >= 0 && buffer && length > 0)";
  const struct {
    std::function<void()> action;
    std::string thrown;
  } cases[] = {
      {[&] { io.read_all(0, buffer, 0); }, failed + "qb_literate:12 " + transfer},
      {[&] { io.read_all(0, nullptr, 4); }, failed + "qb_literate:12 " + transfer},
      {[&] { io.write_all(1, buffer, 0); }, failed + "qb_literate:27 " + transfer},
      {[&] { io.fd_printf(1, "%s", std::string(1001, 'a').c_str()); },
       failed + "qb_literate:58 (size <= MAX_PUTS)"},
      {[&] { io.read_line(buffer, 0, 0); }, failed + "qb_literate:43 (buffer && size > 0)"},
      {[&] { io.read_line(buffer, 4, -1); }, failed + "qb_literate:44 (fd >= 0)"},
      {[&] { client.open_connection("localhost", 0); }, failed + "qb_server:76 (host && port)"},
      {[&] { server.serve(0, 1); }, failed + "qb_server:20 (this && port > 0)"},
      {[&] { server.serve(taken, 1, htonl(INADDR_LOOPBACK)); },
       "error qb_server:33 (" + std::string(strerror(EADDRINUSE)) + ")"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.thrown, thrown_message(c.action));
  // The longest text goes out whole; a socket shut for writing fails a write (no SIGPIPE).
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  EXPECT_EQ(1000, io.fd_printf(fds[0], "%s-%d", std::string(995, 'a').c_str(), 1234));
  std::string sent(1000, '\0');
  EXPECT_EQ(1000, read(fds[1], sent.data(), sent.size()));
  EXPECT_EQ(std::string(995, 'a') + "-1234", sent);
  shutdown(fds[0], SHUT_WR);
  EXPECT_EQ(0, io.write_all(fds[0], "x", 1));
  close(fds[0]);
  close(fds[1]);

  // Connections that cannot be made return -1 and leak no descriptor.
  auto next_fd = [] { const int fd = dup(2); close(fd); return fd; };
  const int before = next_fd();
  EXPECT_EQ(-1, client.open_connection("127.0.0.1", unused_loopback_port()));
  EXPECT_EQ(-1, client.open_connection("300.1.2.3", 1971));
  EXPECT_EQ(before, next_fd());
  EXPECT_EQ(std::string(299, 'h'), qb_client_t(std::string(300, 'h').c_str(), 1971).host_name());
}

}  // namespace
