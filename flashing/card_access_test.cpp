#include "flashing/card_access.h"

#include <gtest/gtest.h>

#include "tests/support/scripted_card.h"

namespace {

scripted_card& card() { return scripted_card::get(); }

// The card answers every command with `count` and the bytes `data`.
void card_answers(int32_t count, const bytes& data) {
  card().reset([=](const seen_command&) { return reply{count, data}; });
}

TEST(CardAccess, TransfersTakeAtMostARowAndTheExactReply) {
  test_scan_client_t client(card().port());
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
    card_answers(c.reply_count, bytes(256, 'P'));
    EXPECT_EQ(c.result, c.write ? flash_write(client, 2, 0x7FF00, c.count, data.data())
                                : flash_read(client, 2, 0x7FF00, c.count, buffer)) << c.what;
    const auto seen = card().seen();
    ASSERT_EQ(c.tx_size ? 1u : 0u, seen.size()) << c.what;
    if (c.tx_size) {
      EXPECT_EQ(c.rxlen, seen[0].rxlen) << c.what;
      EXPECT_EQ(0xC5, seen[0].op) << c.what;  // every card command travels as op 0xC5
      ASSERT_EQ(c.tx_size, seen[0].tx.size()) << c.what;
      EXPECT_EQ(c.rxlen & 0xFF, seen[0].tx[6]) << c.what;  // the count byte
    }
  }
  test_scan_client_t no_service(unused_loopback_port());  // a failed exchange is -1 too
  EXPECT_EQ((std::pair{-1, -1}), std::pair(flash_read(no_service, 2, 0, 16, buffer),
                                           flash_write(no_service, 2, 0, 16, data.data())));
}

}  // namespace
