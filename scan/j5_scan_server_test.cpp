#include "scan/j5_scan_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/support/thrown.h"
#include "tests/support/loopback.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes words(std::initializer_list<int32_t> values) { return wire_words(values); }

bytes operator+(bytes a, const bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Records every command that reaches the card side and answers with a
// programmable count and reply bytes.
struct recording_primitive {
  struct call {
    int32_t slot, op;
    bytes tx;
    int32_t rxlen;
  };
  std::vector<call> calls;
  int32_t count = 0;
  bytes reply;

  j5_scan_primitive_fn function() {
    return [this](int32_t slot, int32_t op, int32_t txlen, const uint8_t* txbuf, int32_t rxlen,
                  uint8_t* rxbuf) {
      calls.push_back({slot, op, bytes(txbuf, txbuf + txlen), rxlen});
      std::copy_n(reply.begin(), std::min<size_t>(reply.size(), rxlen), rxbuf);
      return count;
    };
  }
};

// Feeds one request, and then `trailer`, to handle() through a socket pair
// and returns what the server answered, or the message of what it threw,
// and what it left unread. The bytes go in one write each, so the server
// meets requests that arrive in pieces.
struct served {
  bytes answer;
  std::string thrown;
  bytes unread;
};

served serve_request(j5_scan_server_t& server, const bytes& request, const bytes& trailer = {}) {
  int fds[2];
  EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  std::thread client([&] {
    for (uint8_t byte : request + trailer) EXPECT_EQ(1, write(fds[1], &byte, 1));
    shutdown(fds[1], SHUT_WR);
  });
  served result;
  try {
    server.handle(fds[0]);
  } catch (const exception_t& e) {
    result.thrown = e.message;
  }
  uint8_t buffer[8192];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
    result.unread.insert(result.unread.end(), buffer, buffer + n);
  client.join();
  close(fds[0]);
  for (ssize_t n; (n = read(fds[1], buffer, sizeof buffer)) > 0;)
    result.answer.insert(result.answer.end(), buffer, buffer + n);
  close(fds[1]);
  return result;
}

bytes one_command(int32_t id, int32_t slot, int32_t op, int32_t rxlen, const bytes& tx) {
  return words({id, 1, slot, op, rxlen, static_cast<int32_t>(tx.size())}) + tx;
}

TEST(ScanServer, RunsACommandAndClampsTheReplyToRxlen) {
  recording_primitive card;
  card.count = 10;
  card.reply = {1, 2, 3, 4, 5, 6};
  j5_scan_server_t server(card.function());
  served s = serve_request(server, one_command(6, 3, 0xC5, 4, {0xA3, 0xA3, 7}));
  EXPECT_EQ("", s.thrown);
  EXPECT_EQ(words({10}) + bytes({1, 2, 3, 4}), s.answer);
  ASSERT_EQ(1u, card.calls.size());
  EXPECT_EQ(3, card.calls[0].slot);
  EXPECT_EQ(0xC5, card.calls[0].op);
  EXPECT_EQ((bytes{0xA3, 0xA3, 7}), card.calls[0].tx);
  EXPECT_EQ(4, card.calls[0].rxlen);
}

TEST(ScanServer, NegativeCountTravelsWithoutBytes) {
  recording_primitive card;
  card.count = -1;
  j5_scan_server_t server(card.function());
  EXPECT_EQ(words({-1}), serve_request(server, one_command(6, 1, 0x33, 8, {})).answer);
}

TEST(ScanServer, OwnershipFollowsGrabAndRelease) {
  j5_scan_server_t server;
  const int32_t grab = J5_SCAN_OP_GRAB, release = J5_SCAN_OP_RELEASE;
  struct step {
    int32_t id, op;
    bytes answer;
    int32_t owner_after;
  } steps[] = {
      {7, release, words({1}), 0},  // release of a free service succeeds
      {6, grab, words({1}), 6},
      {6, grab, words({1}), 6},     // grabbing again by the holder
      {7, grab, {}, 6},             // another id: dropped, no answer
      {7, release, {}, 6},
      {6, release, words({1}), 0},
      {0, grab, words({1}), 0},     // id 0 can never hold the service
      {7, grab, words({1}), 7},
  };
  for (const step& s : steps) {
    EXPECT_EQ(s.answer, serve_request(server, one_command(s.id, 0, s.op, 0, {})).answer)
        << "id " << s.id << " op " << s.op;
    EXPECT_EQ(s.owner_after, server.owner());
  }
}

TEST(ScanServer, StubPrimitiveAnswersZero) {
  j5_scan_server_t server;
  EXPECT_EQ(words({0}), serve_request(server, one_command(6, 31, 0x53, 4000, {})).answer);
}

// A batch of `n` commands without transmit bytes, op 51 on slot 1.
bytes batch(int32_t n, int32_t rxlen) {
  bytes request = words({6, n});
  for (int32_t i = 0; i < n; i++) request = request + words({1, 51, rxlen, 0});
  return request;
}

// The server reads a request in as few reads as it can, but never into
// what follows it on the connection.
TEST(ScanServer, ReadsNoFurtherThanItsRequest) {
  const bytes next = {'N', 'E', 'X', 'T'};
  struct case_t {
    const char* what;
    bytes request;
    bytes answer;
  } cases[] = {
      {"grab", one_command(6, 0, J5_SCAN_OP_GRAB, 0, {}), words({1})},
      {"transmit bytes", one_command(6, 2, 0xC5, 0, {1, 2, 3}), words({0})},
      {"a batch", batch(3, 0), words({0, 0, 0})},
      {"a batch ending in transmit bytes",
       words({6, 2, 1, 0xC5, 0, 0, 1, 0xC5, 0, 2}) + bytes{7, 8}, words({0, 0})},
  };
  for (const case_t& c : cases) {
    j5_scan_server_t server;
    served s = serve_request(server, c.request, next);
    EXPECT_EQ("", s.thrown) << c.what;
    EXPECT_EQ(c.answer, s.answer) << c.what;
    EXPECT_EQ(next, s.unread) << c.what;
  }
}

TEST(ScanServer, RequestLimits) {
  const std::string slot = "assertion failed. j5_scan_server:46 (m->slot >= 0 && m->slot < J5_SCAN_NUM_SLOTS)";
  const std::string tx = "assertion failed. j5_scan_server:47 (m->txlen >= 0 && m->txlen <= J5_SCAN_MAX_TX)";
  const std::string rx = "assertion failed. j5_scan_server:48 (m->rxlen >= 0 && m->rxlen <= J5_SCAN_MAX_RX)";
  const std::string total = "assertion failed. j5_scan_server:82 (m->txlen + tx_count <= J5_SCAN_MAX_TX)";
  const std::string empty = "assertion failed. qb_literate:12 (fd >= 0 && buffer && length > 0)";
  struct limit_case {
    const char* what;
    bytes request;
    std::string thrown;  // "" when the request must be served
    size_t commands_run;
  } cases[] = {
      {"100 commands", batch(100, 0), "", 100},
      {"101 commands", batch(101, 0), "assertion failed. j5_scan_server:72 (num_requests <= MAX_REQUESTS)", 0},
      {"no commands", batch(0, 0), empty, 0},
      {"negative count", words({6, -3}), empty, 0},
      // 16 times these counts wraps to 16 and to 1792 bytes in 32 bits.
      {"count 0x80000001", words({6, INT32_MIN + 1}) + batch(1, 0), empty, 0},
      {"count 0x80000070", words({6, INT32_MIN + 0x70}) + batch(120, 0), empty, 0},
      {"txlen 4094", one_command(6, 1, 0xC5, 0, bytes(4094, 0x11)), "", 1},
      {"txlen 4095", one_command(6, 1, 0xC5, 0, bytes(4095, 0x11)), tx, 0},
      {"txlen -1", words({6, 1, 1, 0xC5, 0, -1}), tx, 0},
      {"rxlen 4096", one_command(6, 1, 0xC5, 4096, {}), "", 1},
      {"rxlen 4097", one_command(6, 1, 0xC5, 4097, {}), rx, 0},
      {"slot 31", one_command(6, 31, 0xC5, 0, {}), "", 1},
      {"slot 32", one_command(6, 32, 0xC5, 0, {}), slot, 0},
      {"slot -1", one_command(6, -1, 0xC5, 0, {}), slot, 0},
      {"transmit total 4095",
       words({6, 2, 1, 0xC5, 0, 2047, 1, 0xC5, 0, 2048}) + bytes(4095, 0x22), total, 0},
      {"nothing sent", {}, "assertion failed. j5_scan_server:61 (r == sizeof (id))", 0},
      {"id only", words({6}), "assertion failed. j5_scan_server:68 (r == sizeof (num_requests))", 0},
      {"headers cut short", words({6, 2, 1, 51, 0, 0}), "assertion failed. j5_scan_server:75 (r)", 0},
      {"transmit bytes cut short", words({6, 1, 1, 0xC5, 0, 3}) + bytes{1, 2},
       "assertion failed. j5_scan_server:85 (r)", 0},
  };
  for (const limit_case& c : cases) {
    recording_primitive card;
    j5_scan_server_t server(card.function());
    served s = serve_request(server, c.request);
    EXPECT_EQ(c.thrown, s.thrown) << c.what;
    EXPECT_EQ(c.commands_run, card.calls.size()) << c.what;
  }
}

TEST(ScanServer, DescriptorZeroIsNeverAConnection) {
  j5_scan_server_t server;
  EXPECT_EQ("assertion failed. j5_scan_server:58 (this && fd)",
            thrown_message([&] { server.handle(0); }));
}

TEST(ScanServer, ScanChecksItsArguments) {
  j5_scan_server_t server;
  uint8_t buffer[4];
  EXPECT_EQ("assertion failed. j5_scan_server:28 (txbuf && rxbuf)",
            thrown_message([&] { server.scan(1, 0xC5, 0, nullptr, 0, buffer); }));
  EXPECT_EQ("assertion failed. j5_scan_server:29 (txlen >= 0)",
            thrown_message([&] { server.scan(1, 0xC5, -1, buffer, 0, buffer); }));
  EXPECT_EQ("assertion failed. j5_scan_server:30 (rxlen >= 0 && rxlen <= J5_SCAN_MAX_RX)",
            thrown_message([&] { server.scan(1, 0xC5, 0, buffer, -1, buffer); }));
  EXPECT_EQ("assertion failed. j5_scan_server:32 (slot >=0 && slot < J5_SCAN_NUM_SLOTS)",
            thrown_message([&] { server.scan(32, 0xC5, 0, buffer, 0, buffer); }));
  EXPECT_EQ(0, server.scan(31, 0xC5, 0, buffer, 0, buffer));
}

// A one-shot server that records the request bytes and sends a canned reply.
class canned_server_t : public qb_server_t {
 public:
  explicit canned_server_t(bytes reply, size_t request_size)
      : reply_(std::move(reply)), request_size_(request_size) {}
  void handle(int32_t fd) override {
    request.resize(request_size_);
    if (request_size_) read_all(fd, request.data(), request_size_);
    // A byte per write: the client must gather replies that arrive in
    // pieces.
    for (uint8_t byte : reply_) write_all(fd, &byte, 1);
  }
  bytes request;

 private:
  bytes reply_;
  size_t request_size_;
};

TEST(ScanClient, DefaultsToTheScanServicePort) {
  j5_scan_client_t client("localhost", 6);
  EXPECT_EQ(1971, client.port_number());
  EXPECT_STREQ("localhost", client.host_name());
}

TEST(ScanClient, GrabSendsTheDocumentedBytes) {
  const int32_t port = unused_loopback_port();
  auto& server = serve_in_background<canned_server_t>(port, words({1}), 24);
  test_scan_client_t client(port);
  EXPECT_EQ(1, client.grab());
  EXPECT_EQ(words({6, 1, 0, 1, 0, 0}), server.request);
}

TEST(ScanClient, ReadsClampedRepliesAndKeepsTheStreamInStep) {
  const int32_t port = unused_loopback_port();
  // First command: count 10 for rxlen 4 (4 bytes follow); second: count 2.
  auto& server = serve_in_background<canned_server_t>(
      port, words({10}) + bytes{1, 2, 3, 4} + words({2}) + bytes{9, 8}, 8 + 32 + 3);
  test_scan_client_t client(port);
  uint8_t first[4], second[2];
  const uint8_t tx[3] = {0xAA, 0xBB, 0xCC};
  j5_scan_command_t commands[2] = {{51, 2, 0, 4, nullptr, first, 0},
                                   {0xC5, 31, 3, 2, tx, second, 0}};
  EXPECT_EQ(1, client.execute(2, commands));
  EXPECT_EQ(10, commands[0].rxcount);
  EXPECT_EQ(2, commands[1].rxcount);
  EXPECT_EQ((bytes{1, 2, 3, 4}), bytes(first, first + 4));
  EXPECT_EQ((bytes{9, 8}), bytes(second, second + 2));
  EXPECT_EQ(words({6, 2, 2, 51, 4, 0, 31, 0xC5, 2, 3}) + bytes({0xAA, 0xBB, 0xCC}), server.request);
}

TEST(ScanClient, AReplyThatEndsEarlyFailsTheExchange) {
  const int32_t port = unused_loopback_port();
  serve_in_background<canned_server_t>(port, words({8}) + bytes{1, 2}, 24);
  test_scan_client_t client(port);
  uint8_t reply[8];
  j5_scan_command_t command = {0xC5, 1, 0, 8, nullptr, reply, 0};
  EXPECT_EQ(0, client.execute(1, &command));
}

TEST(ScanClient, RefusesBadRecordsAndNeedsAServer) {
  test_scan_client_t client(unused_loopback_port());
  uint8_t buffer[4];
  j5_scan_command_t bad_slot = {0xC5, 32, 0, 0, nullptr, nullptr, 0};
  j5_scan_command_t no_tx = {0xC5, 1, 4, 0, nullptr, nullptr, 0};
  j5_scan_command_t no_rx = {0xC5, 1, 0, 4, buffer, nullptr, 0};
  EXPECT_EQ("assertion failed. j5_scan_server:161 (num_commands && commands)",
            thrown_message([&] { client.execute(0, &bad_slot); }));
  EXPECT_EQ(0, client.execute(1, &bad_slot));  // no server: nothing checked yet
  EXPECT_EQ(0, client.grab());
  EXPECT_EQ(0, client.release());

  const int32_t port = unused_loopback_port();
  serve_in_background<j5_scan_server_t>(port);
  test_scan_client_t connected(port);
  EXPECT_EQ("assertion failed. j5_scan_server:185 (c->slot >= 0 && c->slot < J5_SCAN_NUM_SLOTS)",
            thrown_message([&] { connected.execute(1, &bad_slot); }));
  EXPECT_EQ("assertion failed. j5_scan_server:186 (!c->txlen || c->txbuf)",
            thrown_message([&] { connected.execute(1, &no_tx); }));
  EXPECT_EQ("assertion failed. j5_scan_server:187 (!c->rxlen || c->rxbuf)",
            thrown_message([&] { connected.execute(1, &no_rx); }));
}

TEST(ScanClient, OwnershipEndToEnd) {
  const int32_t port = unused_loopback_port();
  serve_in_background<j5_scan_server_t>(port);
  test_scan_client_t six(port, 6), seven(port, 7);
  EXPECT_EQ(1, six.grab());
  EXPECT_EQ(1, six.grab());
  EXPECT_EQ(0, seven.grab());  // dropped unanswered
  EXPECT_EQ(0, seven.release());
  EXPECT_EQ(1, six.release());
  EXPECT_EQ(1, seven.grab());
  EXPECT_EQ(1, seven.release());
}

}  // namespace
