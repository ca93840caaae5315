#include "scan/qb_server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "tests/support/thrown.h"
#include "tests/support/loopback.h"

namespace {

// The lowest free descriptor number: unchanged when nothing leaked.
int next_descriptor() {
  int fd = open("/dev/null", O_RDONLY);
  close(fd);
  return fd;
}

TEST(OpenConnection, FailuresReturnMinusOneAndLeakNothing) {
  qb_client_t client("127.0.0.1", 1);
  const int before = next_descriptor();
  EXPECT_EQ(-1, client.open_connection("127.0.0.1", unused_loopback_port()));
  EXPECT_EQ(-1, client.open_connection("no-such-host.invalid", 1971));
  EXPECT_EQ(-1, client.open_connection("300.1.2.3", 1971));
  EXPECT_EQ(before, next_descriptor());
}

TEST(OpenConnection, PortZeroIsABrokenPrecondition) {
  qb_client_t client("localhost", 0);
  EXPECT_EQ("assertion failed. qb_server:76 (host && port)",
            thrown_message([&] { client.open_connection("localhost", 0); }));
  EXPECT_EQ("assertion failed. qb_server:76 (host && port)",
            thrown_message([&] { client.open_connection(nullptr, 1971); }));
}

TEST(ClientHost, KeepsAtMost299CharactersTerminated) {
  for (size_t length : {0u, 299u, 300u, 450u}) {
    const std::string name(length, 'h');
    qb_client_t client(name.c_str(), 1971);
    EXPECT_EQ(name.substr(0, 299), client.host_name()) << length;
    EXPECT_EQ(1971, client.port_number());
  }
}

// Answers "ok" on every connection but the first, for which it throws.
class flaky_server_t : public qb_server_t {
 public:
  void handle(int32_t fd) override {
    if (connections_++ == 0) throw exception_t("first connection refused");
    write_all(fd, "ok", 2);
  }

 private:
  int connections_ = 0;
};

// What a client reads from a fresh connection until the server closes it.
std::string answer_from(int32_t port) {
  qb_client_t client("127.0.0.1", port);
  int fd = client.open_connection("127.0.0.1", port);
  EXPECT_GE(fd, 0);
  std::string text;
  char buffer[16];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  close(fd);
  return text;
}

TEST(Serve, AHandlerFailureCostsOnlyItsConnection) {
  const int32_t port = unused_loopback_port();
  testing::internal::CaptureStdout();
  serve_in_background<flaky_server_t>(port);
  EXPECT_EQ("", answer_from(port));  // closed without an answer
  EXPECT_EQ("ok", answer_from(port));
  EXPECT_EQ("first connection refused\n", testing::internal::GetCapturedStdout());
}

TEST(Serve, PortInUseAndBadPortAreReported) {
  const int32_t port = unused_loopback_port();
  serve_in_background<flaky_server_t>(port);
  flaky_server_t second;
  EXPECT_EQ("error qb_server:33 (" + std::string(strerror(EADDRINUSE)) + ")",
            thrown_message([&] { second.serve(port, 1, htonl(INADDR_LOOPBACK)); }));
  EXPECT_EQ("assertion failed. qb_server:20 (this && port > 0)",
            thrown_message([&] { second.serve(0, 1); }));
}

}  // namespace
