#include "flashing/card_access.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "tests/support/loopback.h"

namespace {

using bytes = std::vector<uint8_t>;

// What the card side saw of the last command, and how it answers.
struct card_side {
  int32_t op = 0, slot = -1, rxlen = -1;
  bytes tx;
  int32_t count = 0;
  bytes reply;
};

card_side& card() {
  static card_side* c = new card_side;
  return *c;
}

class CardAccess : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    port_ = unused_loopback_port();
    serve_in_background<j5_scan_server_t>(port_, [](int32_t slot, int32_t op, int32_t txlen,
                                      const uint8_t* txbuf, int32_t rxlen, uint8_t* rxbuf) {
      card_side& c = card();
      c.op = op;
      c.slot = slot;
      c.rxlen = rxlen;
      c.tx.assign(txbuf, txbuf + txlen);
      std::copy_n(c.reply.begin(), std::min<size_t>(c.reply.size(), rxlen), rxbuf);
      return c.count;
    });
  }
  void answer(int32_t count, bytes reply) {
    card().count = count;
    card().reply = std::move(reply);
  }
  static int32_t port_;
};

int32_t CardAccess::port_;

TEST_F(CardAccess, ReadSendsTheAddressLowByteFirst) {
  test_scan_client_t client(port_);
  uint8_t byte = 0;
  answer(1, {0x42});
  EXPECT_EQ(0, flash_read(client, 9, 0x80000, 1, &byte));
  EXPECT_EQ(0xC5, card().op);
  EXPECT_EQ(9, card().slot);
  EXPECT_EQ((bytes{0xA3, 0xA3, 0x00, 0x00, 0x08, 0x00, 0x01}), card().tx);
  EXPECT_EQ(1, card().rxlen);
  EXPECT_EQ(0x42, byte);
}

TEST_F(CardAccess, ReadSucceedsOnlyOnTheExactCount) {
  test_scan_client_t client(port_);
  uint8_t buffer[256] = {};
  struct read_case {
    int count;
    int32_t reply_length;
    int result;
    int32_t rxlen_sent;
    uint8_t count_byte;
  } cases[] = {
      {16, 16, 0, 16, 16}, {16, 15, -1, 16, 16}, {16, 17, -1, 16, 16},
      {256, 256, 0, 256, 0}, {300, 256, 0, 256, 0}, {4, -1, -1, 4, 4},
  };
  for (const read_case& c : cases) {
    answer(c.reply_length, bytes(256, 0x5A));
    EXPECT_EQ(c.result, flash_read(client, 1, 0x123456, c.count, buffer)) << c.count;
    EXPECT_EQ(c.rxlen_sent, card().rxlen);
    EXPECT_EQ((bytes{0xA3, 0xA3, 0x56, 0x34, 0x12, 0x00, c.count_byte}), card().tx);
  }
  answer(8, bytes(7, 0x77));  // one byte short of what it claims: still stored
  buffer[0] = 0;
  EXPECT_EQ(-1, flash_read(client, 1, 0, 9, buffer));
  EXPECT_EQ(0x77, buffer[0]);
}

TEST_F(CardAccess, WriteDeclaresTheCountAsRoomAndWantsASingleP) {
  test_scan_client_t client(port_);
  const uint8_t data = 0x05;
  answer(1, {'P'});
  EXPECT_EQ(0, flash_write(client, 2, 0x10000, 1, &data));
  EXPECT_EQ((bytes{0x93, 0x93, 0x00, 0x00, 0x01, 0x00, 0x01, 0x05}), card().tx);
  EXPECT_EQ(1, card().rxlen);

  const bytes row(300, 0xAB);
  for (auto [length, reply, result] : {std::tuple{1, bytes{'P'}, 0}, {2, bytes{'P', 'P'}, -1},
                                       {1, bytes{'F'}, -1}, {0, bytes{}, -1}}) {
    answer(length, reply);
    EXPECT_EQ(result, flash_write(client, 2, 0x7FF00, 300, row.data()));
    EXPECT_EQ(256 + 7u, card().tx.size());
    EXPECT_EQ(0x00, card().tx[6]);
    EXPECT_EQ(256, card().rxlen);
  }
}

TEST_F(CardAccess, NoServiceMeansFailure) {
  test_scan_client_t client(unused_loopback_port());
  uint8_t byte = 0;
  EXPECT_EQ(-1, flash_read(client, 1, 0, 1, &byte));
  EXPECT_EQ(-1, flash_write(client, 1, 0, 1, &byte));
}

TEST_F(CardAccess, PrintAddrDumpsSixteenToALine) {
  test_scan_client_t client(port_);
  bytes flash(20);
  for (int i = 0; i < 20; i++) flash[i] = 0xF0 + i;
  answer(20, flash);
  testing::internal::CaptureStdout();
  print_addr(client, 3, 0x100, 20);
  EXPECT_EQ("F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF \n00 01 02 03 ",
            testing::internal::GetCapturedStdout());
}

TEST_F(CardAccess, PrintAddrEndsTheProcessWhenTheReadFails) {
  test_scan_client_t client(port_);
  answer(-1, {});
  EXPECT_EXIT(print_addr(client, 3, 0x100, 20), testing::ExitedWithCode(255),
              "") ;
}

}  // namespace
