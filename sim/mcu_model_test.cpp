// The microcontroller model, driven through the card's scan ops as the
// service delivers them.
#include "sim/mcu_model.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/x3_card.h"

namespace {

using bytes = std::vector<uint8_t>;

class Mcu : public testing::Test {
 protected:
  Mcu() : state_(blank_card_state()), card_(state_.get(), 7) {}

  int32_t send(int32_t op, const bytes& tx, int32_t rxlen = 0) {
    reply.assign(std::max(rxlen, 1), 0xEE);
    return card_.command(op, tx.size(), tx.data(), rxlen, reply.data());
  }

  std::unique_ptr<x3_card_state> state_;
  x3_card_t card_;
  bytes reply;
};

TEST_F(Mcu, ConfigurationListsTypesThenFourStrings) {
  const int32_t length = send(51, {}, 2048);
  const bytes& types = default_record_types();
  ASSERT_GT(length, 1 + static_cast<int32_t>(types.size()));
  EXPECT_EQ(types.size(), reply[0]);
  EXPECT_EQ(types, bytes(reply.begin() + 1, reply.begin() + 1 + types.size()));
  std::vector<std::string> strings;
  for (int32_t at = 1 + types.size(); at < length;) {
    strings.emplace_back(reinterpret_cast<const char*>(&reply[at]));
    at += strings.back().size() + 1;
  }
  EXPECT_EQ((std::vector<std::string>{"X3 line card", "X3A-01207", "rev C", "mcu 2.4.1"}), strings);
}

TEST_F(Mcu, StatusHasEveryRecordsBytesAndAdvances) {
  int expected = 0;
  for (uint8_t type : default_record_types()) {
    ASSERT_GT(status_size(type), 0) << int(type);
    expected += status_size(type);
  }
  EXPECT_EQ(expected, send(83, {}, 4000));
  const bytes first = reply;
  EXPECT_EQ(expected, send(83, {}, 4000));
  EXPECT_NE(first, reply);
  EXPECT_EQ(2u, state_->mcu.status_reads);
}

TEST_F(Mcu, FlashNeedsMonitorModeAndBehavesLikeFlash) {
  EXPECT_EQ(-1, send(163, {0x80, 0x00, 0x40}, 64));
  EXPECT_EQ(0, send(149, {}));
  EXPECT_EQ(0, send(101, {0x80, 0x04, 0x02, 0x12, 0xF0}));
  EXPECT_EQ(0, send(101, {0x80, 0x05, 0x01, 0x0F}));  // only clears bits
  EXPECT_EQ(64, send(163, {0x80, 0x00, 0x40}, 64));
  EXPECT_EQ((bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x12, 0x00, 0xFF}), bytes(reply.begin(), reply.begin() + 7));
  EXPECT_EQ(0, send(0xC5, {0x81, 0xFF}));  // erases the page 0x8000-0x81FF
  send(163, {0x80, 0x00, 0x40}, 64);
  EXPECT_EQ(bytes(64, 0xFF), reply);
  EXPECT_EQ(-1, send(101, {0x80, 0x00, 0x03, 0x01}));  // count disagrees with the data
  EXPECT_EQ(0, send(165, {}));
  EXPECT_EQ(-1, send(0xC5, {0x81, 0xFF}));  // outside monitor mode: not an X3 command either
}

TEST_F(Mcu, ControlBytesAndRestart) {
  EXPECT_EQ(0, send(147, {3, 5, 6}));
  EXPECT_EQ(5, state_->mcu.control[3][0]);
  EXPECT_EQ(6, state_->mcu.control[3][1]);
  send(149, {});
  EXPECT_EQ(0, send(147, {1, 1, 1}));  // the restart, not a control write
  EXPECT_EQ(0, state_->mcu.control[1][0]);
  EXPECT_EQ(1u, state_->boot.boot_count);
  EXPECT_EQ(0u, state_->mcu.monitor);
}

TEST_F(Mcu, ASwappedCardReportsOtherTypes) {
  card_.faults.swap_at = 2;
  card_.faults.swapped_types = {1, 18};
  send(51, {}, 2048);
  EXPECT_EQ(default_record_types().size(), reply[0]);
  send(51, {}, 2048);
  EXPECT_EQ((bytes{2, 1, 18}), bytes(reply.begin(), reply.begin() + 3));
  EXPECT_EQ(6 + 2, send(83, {}, 4000));
}

}  // namespace
