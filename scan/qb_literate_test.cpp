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

#include "scan/qb_server.h"
#include "tests/support/loopback.h"
#include "tests/support/thrown.h"

namespace {

// What arrives on `fd` until the other end closes or stops writing.
std::string drain(int fd) {
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  return text;
}

// A connected pair of stream sockets: the code under test works on `fd`,
// the test on `peer`.
struct socket_pair {
  int fd, peer;
  socket_pair() {
    int fds[2];
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    fd = fds[0];
    peer = fds[1];
  }
  ~socket_pair() {
    close(fd);
    close_peer();
  }
  void close_peer() {
    if (peer >= 0) close(peer);
    peer = -1;
  }
  // Everything written to `fd` so far.
  std::string written() {
    shutdown(fd, SHUT_WR);
    return drain(peer);
  }
};

// Answers "ok" on every connection but the first, for which it throws.
struct flaky_server_t : qb_server_t {
  void handle(int32_t fd) override {
    if (connections_++ == 0) throw exception_t("first connection refused");
    write_all(fd, "ok", 2);
  }
  int connections_ = 0;
};

TEST(QbLiterate, BrokenPreconditionsAndRefusedEndpoints) {
  qb_literate_t io;
  qb_client_t client("127.0.0.1", 1);
  flaky_server_t second;
  const int32_t taken = unused_loopback_port();
  serve_in_background<flaky_server_t>(taken);
  char buffer[4];
  const std::string transfer = "(fd >= 0 && buffer && length > 0)";
  const struct {
    std::function<void()> action;
    std::string thrown;
  } cases[] = {
      {[&] { io.read_all(0, buffer, 0); }, "assertion failed. qb_literate:12 " + transfer},
      {[&] { io.read_all(0, nullptr, 4); }, "assertion failed. qb_literate:12 " + transfer},
      {[&] { io.write_all(-1, buffer, 4); }, "assertion failed. qb_literate:27 " + transfer},
      {[&] { io.fd_printf(1, "%s", ""); }, "assertion failed. qb_literate:27 " + transfer},
      {[&] { io.fd_printf(1, "%s", std::string(1001, 'a').c_str()); }, "assertion failed. qb_literate:58 (size <= MAX_PUTS)"},
      {[&] { io.read_line(buffer, 0, 0); }, "assertion failed. qb_literate:43 (buffer && size > 0)"},
      {[&] { io.read_line(buffer, 4, -1); }, "assertion failed. qb_literate:44 (fd >= 0)"},
      {[&] { client.open_connection("localhost", 0); }, "assertion failed. qb_server:76 (host && port)"},
      {[&] { client.open_connection(nullptr, 1971); }, "assertion failed. qb_server:76 (host && port)"},
      {[&] { second.serve(0, 1); }, "assertion failed. qb_server:20 (this && port > 0)"},
      {[&] { second.serve(taken, 1, htonl(INADDR_LOOPBACK)); }, "error qb_server:33 (" + std::string(strerror(EADDRINUSE)) + ")"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.thrown, thrown_message(c.action));

  // Connections that cannot be made return -1 and leak no descriptor.
  auto next_fd = [] {
    const int fd = open("/dev/null", O_RDONLY);
    close(fd);
    return fd;
  };
  const int before = next_fd();
  EXPECT_EQ(-1, client.open_connection("127.0.0.1", unused_loopback_port()));
  EXPECT_EQ(-1, client.open_connection("no-such-host.invalid", 1971));
  EXPECT_EQ(-1, client.open_connection("300.1.2.3", 1971));
  EXPECT_EQ(before, next_fd());
  for (size_t length : {0u, 299u, 300u, 450u}) {
    const std::string name(length, 'h');
    EXPECT_EQ(name.substr(0, 299), qb_client_t(name.c_str(), 1971).host_name()) << length;
  }
}

TEST(QbLiterate, ReadsLinesEndedByEitherLineEnd) {
  qb_literate_t io;
  const struct {
    std::string input;
    int size;
    std::vector<std::pair<int, std::string>> lines;  // result and text, call by call
  } cases[] = {
      {"ab\r\ncd", 80, {{2, "ab"}, {0, ""}, {-1, "cd"}}},
      {"abcdef\n", 4, {{3, "abc"}, {3, "def"}, {0, ""}, {-1, ""}}},
      {"xyz", 1, {{-1, ""}}},
      {"", 10, {{-1, ""}}},
  };
  for (const auto& c : cases) {
    socket_pair lines;
    ASSERT_EQ(ssize_t(c.input.size()), write(lines.peer, c.input.data(), c.input.size()));
    lines.close_peer();
    for (const auto& [result, text] : c.lines) {
      char line[80];
      memset(line, 'Z', sizeof line);
      EXPECT_EQ(result, io.read_line(line, c.size, lines.fd)) << c.input;
      EXPECT_EQ(text, line) << c.input;
    }
  }
}

// The peer writes `chunks` one write each from a thread of its own, so a
// take may find only part of what it needs; what the reader leaves stays
// in the socket.
TEST(QbLiterate, FramedReaderTakesExactLengthsAndNeverReadsPastTheBound) {
  const struct {
    const char* what;
    std::vector<std::string> chunks;
    std::vector<std::pair<int, int>> takes;  // length and bound, call by call
    std::vector<std::string> taken;          // "" where the take returns 0
    std::string unread;
  } cases[] = {
      {"one message in one piece", {"abcdefgNEXT"}, {{3, 7}, {4, 4}}, {"abc", "defg"}, "NEXT"},
      {"arrives a byte at a time", {"a", "b", "c", "d", "e", "N"}, {{2, 5}, {3, 3}}, {"ab", "cde"}, "N"},
      {"bound ends mid-buffer", {"abcdef"}, {{1, 2}, {1, 1}, {4, 4}}, {"a", "b", "cdef"}, ""},
      {"larger than the read-ahead", {"0123456789abcdefXY"}, {{2, 18}, {14, 16}}, {"01", "23456789abcdef"}, "XY"},
      {"stream ends early", {"abc"}, {{2, 6}, {4, 4}}, {"ab", ""}, ""},
  };
  for (const auto& c : cases) {
    socket_pair s;
    std::thread peer([&] {
      for (const std::string& chunk : c.chunks) EXPECT_EQ(ssize_t(chunk.size()), write(s.peer, chunk.data(), chunk.size()));
      shutdown(s.peer, SHUT_WR);
    });
    qb_literate_t io;
    uint8_t ahead[8];
    qb_framed_reader_t reader(io, s.fd, ahead, sizeof ahead);
    for (size_t i = 0; i < c.takes.size(); i++) {
      std::string out(c.takes[i].first, '-');
      const int32_t r = reader.take(out.data(), c.takes[i].first, c.takes[i].second);
      EXPECT_EQ(c.taken[i].empty() ? 0 : c.takes[i].first, r) << c.what << ", take " << i;
      EXPECT_TRUE(!r || c.taken[i] == out) << c.what << ", take " << i;
    }
    peer.join();
    char rest[64];
    EXPECT_EQ(c.unread, std::string(rest, std::max<ssize_t>(0, read(s.fd, rest, sizeof rest)))) << c.what;
  }
}

TEST(QbLiterate, WritesReportWhatWentOut) {
  qb_literate_t io;
  socket_pair fits;
  EXPECT_EQ(1000, io.fd_printf(fits.fd, "%s-%d", std::string(995, 'a').c_str(), 1234));
  EXPECT_EQ(std::string(995, 'a') + "-1234", fits.written());

  // A small send buffer that does not block and is not drained: the first
  // write ends inside a piece, the next fails.
  socket_pair s;
  int small = 4096;
  ASSERT_EQ(0, setsockopt(s.fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small));
  ASSERT_EQ(0, fcntl(s.fd, F_SETFL, O_NONBLOCK));
  std::string texts[] = {"head", "", std::string(100000, 'x'), "tail"}, all;
  std::vector<iovec> pieces;
  for (std::string& t : texts) {
    all += t;
    pieces.push_back({t.data(), t.size()});
  }
  const int32_t sent = io.write_gathered(s.fd, pieces.data(), pieces.size());
  EXPECT_GT(sent, 4);
  EXPECT_LT(sent, int32_t(all.size()));
  EXPECT_TRUE(all.substr(0, sent) == s.written());

  socket_pair gone;
  gone.close_peer();  // a failed write, not a SIGPIPE
  EXPECT_EQ(0, io.write_all(gone.fd, "x", 1));
  iovec one = {texts[0].data(), texts[0].size()};
  EXPECT_EQ(0, io.write_gathered(gone.fd, &one, 1));
}

TEST(QbServer, AHandlerFailureCostsOnlyItsConnection) {
  const int32_t port = unused_loopback_port();
  testing::internal::CaptureStdout();
  serve_in_background<flaky_server_t>(port);
  for (const char* answer : {"", "ok"}) {  // the first connection closes unanswered
    const int fd = qb_client_t("127.0.0.1", port).open_connection("127.0.0.1", port);
    EXPECT_EQ(answer, drain(fd));
    close(fd);
  }
  EXPECT_EQ("first connection refused\n", testing::internal::GetCapturedStdout());
}

}  // namespace
