#include "flashing/card_access.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/support/loopback.h"

namespace {

using bytes = std::vector<uint8_t>;

// What the card saw of the last command (rxlen -1: none yet), and its answer.
struct card_side {
  int32_t rxlen = -1, op = 0;
  bytes tx;
  int32_t count = 0;
  bytes reply;
};
card_side card;

int32_t card_port() {
  static const int32_t port = [] {
    const int32_t p = unused_loopback_port();
    serve_in_background<j5_scan_server_t>(p, [](int32_t, int32_t op, int32_t txlen, const uint8_t* txbuf,
                                                int32_t rxlen, uint8_t* rxbuf) {
      card.rxlen = rxlen;
      card.op = op;
      card.tx.assign(txbuf, txbuf + txlen);
      std::copy_n(card.reply.begin(), std::min<size_t>(card.reply.size(), rxlen), rxbuf);
      return card.count;
    });
    return p;
  }();
  return port;
}

TEST(CardAccess, TransfersTakeAtMostARowAndTheExactReply) {
  test_scan_client_t client(card_port());
  const bytes data(300, 0xAB);
  uint8_t buffer[300];
  const struct {
    const char* what;
    bool write;
    int count;
    int32_t reply_count;
    int result;
    int32_t rxlen;  // the room the command declared; -1: no command sent
    size_t tx_size;
  } cases[] = {
      {"read of 16", false, 16, 16, 0, 16, 7},         {"short read", false, 16, 15, -1, 16, 7},
      {"long read", false, 16, 17, -1, 16, 7},         {"read of 300 takes a row", false, 300, 256, 0, 256, 7},
      {"nothing to read", false, 0, 0, -1, -1, 0},     {"write of 300 sends a row", true, 300, 1, 0, 256, 263},
      {"write of 1", true, 1, 1, 0, 1, 8},             {"nothing to write", true, 0, 1, -1, -1, 0},
  };
  for (const auto& c : cases) {
    card = {-1, 0, {}, c.reply_count, bytes(256, 'P')};
    EXPECT_EQ(c.result, c.write ? flash_write(client, 2, 0x7FF00, c.count, data.data())
                                : flash_read(client, 2, 0x7FF00, c.count, buffer)) << c.what;
    EXPECT_EQ(c.rxlen, card.rxlen) << c.what;
    EXPECT_EQ(c.tx_size ? 0xC5 : 0, card.op) << c.what;  // every card command travels as op 0xC5
    ASSERT_EQ(c.tx_size, card.tx.size()) << c.what;
    EXPECT_EQ(c.tx_size ? c.rxlen & 0xFF : -1, c.tx_size ? card.tx[6] : -1) << c.what;  // the count byte
  }
  test_scan_client_t no_service(unused_loopback_port());  // a failed exchange is -1 too
  EXPECT_EQ((std::pair{-1, -1}), std::pair(flash_read(no_service, 2, 0, 16, buffer),
                                           flash_write(no_service, 2, 0, 16, data.data())));
}

TEST(CardAccess, PrintAddrDumpsSixteenToALineOrEndsTheProcess) {
  test_scan_client_t client(card_port());
  card = {-1, 0, {}, 20, {}};
  for (int i = 0; i < 20; i++) card.reply.push_back(0xF0 + i);
  testing::internal::CaptureStdout();
  print_addr(client, 3, 0x100, 20);
  EXPECT_EQ("F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF \n00 01 02 03 ", testing::internal::GetCapturedStdout());
  card.count = -1;
  EXPECT_EXIT(print_addr(client, 3, 0x100, 20), testing::ExitedWithCode(255), "");
}

}  // namespace
