#include "scan/qb_literate.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/thrown.h"

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

// The peer writes `chunks` one write each from a thread of its own, so a
// take may find only part of what it needs; the rest of the stream stays
// unread for the test to check.
struct framed_case {
  const char* what;
  std::vector<std::string> chunks;
  std::vector<std::pair<int, int>> takes;  // length and bound, call by call
  std::vector<std::string> taken;          // "" where the take returns 0
  std::string unread;
};

TEST(FramedReader, TakesExactLengthsAndNeverReadsPastTheBound) {
  const framed_case cases[] = {
      {"one message in one piece", {"abcdefgNEXT"}, {{3, 7}, {4, 4}}, {"abc", "defg"}, "NEXT"},
      {"arrives a byte at a time", {"a", "b", "c", "d", "e", "N"}, {{2, 5}, {3, 3}}, {"ab", "cde"}, "N"},
      {"bound ends mid-buffer", {"abcdef"}, {{1, 2}, {1, 1}, {4, 4}}, {"a", "b", "cdef"}, ""},
      {"larger than the read-ahead", {"0123456789abcdefXY"}, {{2, 18}, {14, 16}}, {"01", "23456789abcdef"}, "XY"},
      {"stream ends early", {"abc"}, {{2, 6}, {4, 4}}, {"ab", ""}, ""},
  };
  for (const framed_case& c : cases) {
    socket_pair s;
    std::thread peer([&] {
      for (const std::string& chunk : c.chunks) {
        ASSERT_EQ(static_cast<ssize_t>(chunk.size()), write(s.peer, chunk.data(), chunk.size()));
      }
      shutdown(s.peer, SHUT_WR);
    });
    qb_literate_t io;
    uint8_t ahead[8];
    qb_framed_reader_t reader(io, s.fd, ahead, sizeof ahead);
    for (size_t i = 0; i < c.takes.size(); i++) {
      const auto [length, bound] = c.takes[i];
      std::string out(length, '-');
      const int32_t r = reader.take(out.data(), length, bound);
      EXPECT_EQ(c.taken[i].empty() ? 0 : length, r) << c.what << ", take " << i;
      if (r) {
        EXPECT_EQ(c.taken[i], out) << c.what << ", take " << i;
      }
    }
    peer.join();
    std::string rest(64, '\0');
    const ssize_t n = read(s.fd, rest.data(), rest.size());
    EXPECT_EQ(c.unread, rest.substr(0, std::max<ssize_t>(n, 0))) << c.what;
  }
}

TEST(WriteGathered, ReportsHowMuchWentOutBeforeAWriteFailed) {
  // A small send buffer that does not block and is not drained: the first
  // write takes part of the pieces, ending inside one, the next fails.
  // The result is what went out, the pieces' bytes in order.
  socket_pair s;
  int small = 4096;
  ASSERT_EQ(0, setsockopt(s.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small));
  ASSERT_EQ(0, fcntl(s.fd, F_SETFL, O_NONBLOCK));
  std::string texts[] = {"head", "", std::string(100000, 'x'), "tail"};
  std::string expected;
  std::vector<iovec> pieces;
  for (std::string& t : texts) {
    expected += t;
    pieces.push_back({t.data(), t.size()});
  }
  qb_literate_t io;
  const int32_t sent = io.write_gathered(s.fd, pieces.data(), pieces.size());
  const std::string received = written_to(s);
  EXPECT_GT(sent, 4);
  EXPECT_LT(sent, static_cast<int32_t>(expected.size()));
  EXPECT_TRUE(expected.substr(0, sent) == received);

  socket_pair gone;
  close(gone.peer);
  gone.peer = -1;
  iovec one = {texts[0].data(), texts[0].size()};
  EXPECT_EQ(0, io.write_gathered(gone.fd, &one, 1));
}

}  // namespace
