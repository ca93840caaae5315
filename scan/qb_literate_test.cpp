#include "scan/qb_literate.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/test_support.h"

namespace {

// A connected pair of stream sockets: the test writes into `peer` and the
// code under test works on `fd`.
struct socket_pair {
  socket_pair() {
    int fds[2];
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    fd = fds[0];
    peer = fds[1];
  }
  ~socket_pair() {
    close(fd);
    if (peer >= 0) close(peer);
  }
  void send_and_close(const std::string& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(peer, bytes.data(), bytes.size()));
    close(peer);
    peer = -1;
  }
  int fd;
  int peer;
};

TEST(ReadAll, ShortStreamFailsButKeepsWhatArrived) {
  socket_pair s;
  s.send_and_close("abc");
  qb_literate_t io;
  char buffer[8] = {};
  EXPECT_EQ(0, io.read_all(s.fd, buffer, 8));
  EXPECT_EQ("abc", std::string(buffer, 3));
}

TEST(ReadAll, ExactCountArrivesAcrossSeveralWrites) {
  socket_pair s;
  ASSERT_EQ(2, write(s.peer, "ab", 2));
  s.send_and_close("cdef");
  qb_literate_t io;
  char buffer[6];
  EXPECT_EQ(6, io.read_all(s.fd, buffer, 6));
  EXPECT_EQ("abcdef", std::string(buffer, 6));
}

TEST(WriteAll, PeerGoneIsAFailedWriteNotASignal) {
  socket_pair s;
  close(s.peer);
  s.peer = -1;
  qb_literate_t io;
  EXPECT_EQ(0, io.write_all(s.fd, "x", 1));
}

TEST(Preconditions, CarryTheirLineAndCondition) {
  qb_literate_t io;
  char buffer[4];
  const std::string transfer = "(fd >= 0 && buffer && length > 0)";
  EXPECT_EQ("assertion failed. qb_literate:12 " + transfer,
            thrown_message([&] { io.read_all(0, buffer, 0); }));
  EXPECT_EQ("assertion failed. qb_literate:12 " + transfer,
            thrown_message([&] { io.read_all(0, nullptr, 4); }));
  EXPECT_EQ("assertion failed. qb_literate:27 " + transfer,
            thrown_message([&] { io.write_all(-1, buffer, 4); }));
  EXPECT_EQ("assertion failed. qb_literate:43 (buffer && size > 0)",
            thrown_message([&] { io.read_line(buffer, 0, 0); }));
  EXPECT_EQ("assertion failed. qb_literate:44 (fd >= 0)",
            thrown_message([&] { io.read_line(buffer, 4, -1); }));
  EXPECT_EQ("assertion failed. qb_literate:27 " + transfer,
            thrown_message([&] { io.fd_printf(1, "%s", ""); }));
}

struct line_case {
  std::string input;
  int size;
  std::vector<std::pair<int, std::string>> lines;  // result and text, call by call
};

TEST(ReadLine, SplitsAtEitherLineEndAndInPiecesOfSizeMinusOne) {
  const line_case cases[] = {
      {"ab\r\ncd", 80, {{2, "ab"}, {0, ""}, {-1, "cd"}}},
      {"abcdef\n", 4, {{3, "abc"}, {3, "def"}, {0, ""}, {-1, ""}}},
      {"xyz", 1, {{-1, ""}}},
      {"", 10, {{-1, ""}}},
  };
  for (const line_case& c : cases) {
    socket_pair s;
    s.send_and_close(c.input);
    qb_literate_t io;
    for (const auto& [result, text] : c.lines) {
      char buffer[80];
      memset(buffer, 'Z', sizeof buffer);
      EXPECT_EQ(result, io.read_line(buffer, c.size, s.fd)) << c.input;
      EXPECT_EQ(text, buffer) << c.input;
    }
  }
}

// Everything written to `s.fd` so far, read from the peer end.
std::string written_to(socket_pair& s) {
  shutdown(s.fd, SHUT_WR);
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = read(s.peer, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  return text;
}

TEST(FdPrintf, WritesUpToMaxPutsCharactersAndRefusesMore) {
  qb_literate_t io;
  socket_pair fits;
  EXPECT_EQ(1000, io.fd_printf(fits.fd, "%s-%d", std::string(995, 'a').c_str(), 1234));
  EXPECT_EQ(std::string(995, 'a') + "-1234", written_to(fits));

  socket_pair too_long;
  EXPECT_EQ("assertion failed. qb_literate:58 (size <= MAX_PUTS)",
            thrown_message([&] { io.fd_printf(too_long.fd, "%s", std::string(1001, 'a').c_str()); }));
  EXPECT_EQ("", written_to(too_long));
}

}  // namespace
