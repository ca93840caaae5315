#include "scan/j5_scan_server.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/scripted_card.h"
#include "tests/support/socket_pair.h"

namespace {

bytes operator+(bytes a, const bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
bytes words(std::initializer_list<int32_t> values) { return wire_words(values); }
bytes one_command(int32_t id, int32_t slot, int32_t op, int32_t rxlen, const bytes& tx) {
  return words({id, 1, slot, op, rxlen, int32_t(tx.size())}) + tx;
}
// `n` commands without transmit bytes, op 51 on slot 1.
bytes batch(int32_t n) {
  bytes request = words({6, n});
  for (int32_t i = 0; i < n; i++) request = request + words({1, 51, 0, 0});
  return request;
}
const std::string FAILED = "assertion failed. j5_scan_server:";

// The card side of a server: records every command and answers with a
// count of 10 and the bytes 1 to 6.
scripted_card& recording_card() {
  scripted_card& card = scripted_card::get();
  card.reset([](const seen_command&) { return reply{10, {1, 2, 3, 4, 5, 6}}; });
  return card;
}

// A request is checked whole before it runs, and read no further than its end.
TEST(ScanServer, RequestLimitsAndFraming) {
  const bytes next = {'N', 'E', 'X', 'T'};
  const std::string empty = "assertion failed. qb_literate:12 (fd >= 0 && buffer && length > 0)";
  const bytes over_tx = words({6, 2, 1, 9, 0, 2047, 1, 9, 0, 2048}) + bytes(4095, 0x22);
  const struct {
    bytes request;
    size_t commands_run;
    std::string thrown = "";  // after `FAILED`, or `empty`; "" when served
    bytes answer = {};        // checked when given
  } cases[] = {
      {one_command(6, 3, 9, 4, {0xA3, 7}), 1, "", words({10}) + bytes{1, 2, 3, 4}},
      {one_command(6, 0, 1, 0, {}), 0, "", words({1})},  // op 1 takes the service
      {one_command(6, 0, 2, 0, {}), 0, "", words({1})},  // op 2 gives it back, even when free
      {batch(100), 100},
      {words({6, 2, 1, 9, 0, 0, 1, 9, 0, 2}) + bytes{7, 8}, 2, "", words({10, 10})},
      {batch(101), 0, "72 (num_requests <= MAX_REQUESTS)"},
      {batch(0), 0, empty},
      {one_command(6, 1, 9, 0, bytes(4094, 1)), 1},
      {one_command(6, 1, 9, 0, bytes(4095, 1)), 0,
       "47 (m->txlen >= 0 && m->txlen <= J5_SCAN_MAX_TX)"},
      {one_command(6, 1, 9, 4096, {}), 1},
      {one_command(6, 1, 9, 4097, {}), 0, "48 (m->rxlen >= 0 && m->rxlen <= J5_SCAN_MAX_RX)"},
      {one_command(6, 32, 9, 0, {}), 0, "46 (m->slot >= 0 && m->slot < J5_SCAN_NUM_SLOTS)"},
      {over_tx, 0, "82 (m->txlen + tx_count <= J5_SCAN_MAX_TX)"},
      {{}, 0, "61 (r == sizeof (id))"},
      {words({6}), 0, "68 (r == sizeof (num_requests))"},
      {words({6, 2, 1, 51, 0, 0}), 0, "75 (r)"},
      {words({6, 1, 1, 9, 0, 3}) + bytes{1, 2}, 0, "85 (r)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    scripted_card& card = recording_card();
    j5_scan_server_t server(card.primitive());
    const bool whole = c.thrown.empty();
    // A byte per write: the server meets the request in pieces.
    const served s = serve_over_socket_pair([&](int fd) { server.handle(fd); },
                                            c.request + (whole ? next : bytes{}), true);
    EXPECT_EQ(whole ? NOTHING_THROWN : c.thrown == empty ? empty : FAILED + c.thrown, s.thrown);
    EXPECT_TRUE(!whole || s.unread == next);
    EXPECT_EQ(c.commands_run, card.seen().size());
    EXPECT_TRUE(c.answer.empty() || c.answer == s.answer);
  }
}

// Answers a one-command request with a count of 2 but only one byte, then hangs up.
struct cut_reply_server_t : qb_server_t {
  void handle(int32_t fd) override {
    uint8_t request[24];  // one command without transmit bytes
    if (read_all(fd, request, sizeof request)) write_all(fd, "\0\0\0\2\x09", 5);
  }
};

TEST(ScanClient, PreconditionsShortWritesAndFailedExchanges) {
  scripted_card& card = recording_card();
  test_scan_client_t client(card.port());
  j5_scan_server_t server;
  uint8_t buffer[28] = {0xE0, 0xE1, 0xE2};
  char text[8];
  uint8_t data[8];
  j5_scan_command_t bad_slot = {0xC5, 32, 0, 0, nullptr, nullptr, 0};
  j5_scan_command_t no_tx = {0xC5, 1, 4, 0, nullptr, nullptr, 0};
  j5_scan_command_t no_rx = {0xC5, 1, 0, 4, buffer, nullptr, 0};
  const struct {
    std::function<void()> action;
    std::string thrown;  // after `FAILED`
  } cases[] = {
      {[&] { server.handle(0); }, "58 (this && fd)"},
      {[&] { server.scan(1, 0, 0, nullptr, 0, data); }, "28 (txbuf && rxbuf)"},
      {[&] { server.scan(1, 0, -1, data, 0, data); }, "29 (txlen >= 0)"},
      {[&] { server.scan(1, 0, 0, data, -1, data); }, "30 (rxlen >= 0 && rxlen <= J5_SCAN_MAX_RX)"},
      {[&] { server.scan(32, 0, 0, data, 0, data); }, "32 (slot >=0 && slot < J5_SCAN_NUM_SLOTS)"},
      {[&] { client.execute(0, &bad_slot); }, "161 (num_commands && commands)"},
      {[&] { client.execute(1, &bad_slot); }, "185 (c->slot >= 0 && c->slot < J5_SCAN_NUM_SLOTS)"},
      {[&] { client.execute(1, &no_tx); }, "186 (!c->txlen || c->txbuf)"},
      {[&] { client.execute(1, &no_rx); }, "187 (!c->rxlen || c->rxbuf)"},
      {[&] { client.scan_write(5, 1, 2, buffer, 28); }, "234 (this && p && size < 28)"},
      {[&] { client.find_version(data, 0, text); }, "417 (this && image && length > 0 && version)"},
      {[&] { client.get_type(nullptr, text); }, "307 (version && type)"},
      {[&] { client.get_date(nullptr, text); }, "280 (version && date)"},
  };
  for (const auto& c : cases) EXPECT_EQ(FAILED + c.thrown, thrown_message(c.action));
  EXPECT_TRUE(card.seen().empty());  // nothing refused reached the card
  EXPECT_EQ(0, server.scan(1, 9, 0, data, 0, data));  // a server's own card side answers 0

  // A short write is one op-147 command; its reply count (10) is not the result.
  EXPECT_EQ(1, client.scan_write(5, 0xA1, 0xB2, buffer, 27));
  EXPECT_EQ(1, client.scan_write(4, 0xA1, 0xB2, buffer, 0));
  const auto seen = card.seen();
  ASSERT_EQ(2u, seen.size());
  EXPECT_EQ((std::tuple{5, 147, bytes{0xA1, 0xB2} + bytes(buffer, buffer + 27)}),
            std::tie(seen[0].slot, seen[0].op, seen[0].tx));
  EXPECT_EQ((std::tuple{4, 147, bytes{0xA1, 0xB2}}), std::tie(seen[1].slot, seen[1].op, seen[1].tx));
  EXPECT_EQ(0, test_scan_client_t(unused_loopback_port()).execute(1, &bad_slot));  // no service
  const int32_t cut = unused_loopback_port();
  serve_in_background<cut_reply_server_t>(cut);
  j5_scan_command_t read_two = {9, 1, 0, 2, nullptr, data, 0};
  EXPECT_EQ(0, test_scan_client_t(cut).execute(1, &read_two));  // a reply cut short fails
  EXPECT_EQ(1971, j5_scan_client_t("localhost", J5_SCAN_ID_FLASH_X3).port_number());  // the scan service's port
}

const j5_scan_client_t reader("localhost", J5_SCAN_ID_FLASH_X3);

TEST(ScanClientText, TypeAndDateOfAVersionText) {
  auto text_or_thrown = [](const std::function<char*(char*)>& f) {
    char out[J5_SCAN_TEXT_SIZE];
    const std::string thrown = thrown_message([&] { f(out); });
    return thrown == NOTHING_THROWN ? std::string(out) : thrown;
  };
  const struct {
    std::string version, type, date;
  } cases[] = {
      {"Type: X3 \t\r\nCompiled on:\nJan 2 1999\n01:02:03 \t\nrest", "X3", "Jan 2 1999 01:02:03"},
      {"Type:  \nCompiled on:\n  \n", " ", " "},  // white space only: the first character stays
      // The message keeps its first 199 characters, the date its first 255.
      {"Compiled on:\n" + std::string(300, '7'),
       "couldn't find Type in Compiled on:\n" + std::string(164, '7'), std::string(255, '7')},
  };
  for (const auto& c : cases) {
    const char* version = c.version.c_str();
    EXPECT_EQ(c.type, text_or_thrown([&](char* out) { return reader.get_type(version, out); }));
    EXPECT_EQ(c.date, text_or_thrown([&](char* out) { return reader.get_date(version, out); }));
  }
  char out[6];
  EXPECT_STREQ("X3", reader.get_type("Type: X3 line card", out, 4));  // "X3 " trimmed
  EXPECT_STREQ("Mar 1", reader.get_date("Compiled on:\nMar 14 2023\n12:34:56", out, 6));
}

}  // namespace
