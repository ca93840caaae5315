#include "scan/j5_scan_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/thrown.h"

namespace {

using bytes = std::vector<uint8_t>;

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

// The card side of a server: records every command (slot, op, then the
// transmit bytes) and answers with `count` and `reply`.
struct recording_card {
  std::mutex mutex;
  std::vector<bytes> calls;
  int32_t count = 0;
  bytes reply;
  j5_scan_primitive_fn primitive() {
    return [this](int32_t slot, int32_t op, int32_t txlen, const uint8_t* txbuf, int32_t rxlen, uint8_t* rxbuf) {
      std::lock_guard<std::mutex> lock(mutex);
      calls.push_back(bytes{uint8_t(slot), uint8_t(op)} + bytes(txbuf, txbuf + txlen));
      std::copy_n(reply.begin(), std::min<size_t>(reply.size(), rxlen), rxbuf);
      return count;
    };
  }
};

// Feeds `request` and then `trailer` to handle() a byte per write, so the
// server meets a request that arrives in pieces: what it answered, what it
// threw and what it left unread.
struct served {
  bytes answer, unread;
  std::string thrown;
};
served serve_request(j5_scan_server_t& server, const bytes& request, const bytes& trailer = {}) {
  int fds[2];
  EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  std::thread client([&] {
    for (uint8_t byte : request + trailer) EXPECT_EQ(1, write(fds[1], &byte, 1));
    shutdown(fds[1], SHUT_WR);
  });
  served result;
  result.thrown = thrown_message([&] { server.handle(fds[0]); });
  auto drain = [](int fd, bytes& out) {
    uint8_t buffer[8192];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) out.insert(out.end(), buffer, buffer + n);
    close(fd);
  };
  drain(fds[0], result.unread);
  client.join();
  drain(fds[1], result.answer);
  return result;
}

TEST(ScanServer, OwnershipFollowsGrabAndRelease) {
  j5_scan_server_t server;  // its card side answers every command with 0
  const int32_t grab = 1, release = 2;  // the op numbers on the wire
  const struct {
    int32_t id, op;
    bytes answer;  // none: dropped unanswered
    int32_t owner_after;
  } steps[] = {
      {7, release, words({1}), 0},  // release of a free service succeeds
      {6, grab, words({1}), 6},     {6, grab, words({1}), 6},  {7, grab, {}, 6},
      {7, release, {}, 6},          {7, 0xC5, {}, 6},          {6, 0xC5, words({0}), 6},
      {6, release, words({1}), 0},  {0, grab, words({1}), 0},  // id 0 never holds it
      {7, grab, words({1}), 7},
  };
  for (const auto& s : steps) {
    EXPECT_EQ(s.answer, serve_request(server, one_command(s.id, 0, s.op, 0, {})).answer) << s.id << " " << s.op;
    EXPECT_EQ(s.owner_after, server.owner());
  }
}

// A request is checked whole before any of it runs, and read no further
// than its end: what follows it on the connection stays unread.
TEST(ScanServer, RequestLimitsAndFraming) {
  const bytes next = {'N', 'E', 'X', 'T'};
  const std::string failed = "assertion failed. j5_scan_server:";
  const std::string slot = failed + "46 (m->slot >= 0 && m->slot < J5_SCAN_NUM_SLOTS)";
  const std::string tx = failed + "47 (m->txlen >= 0 && m->txlen <= J5_SCAN_MAX_TX)";
  const std::string rx = failed + "48 (m->rxlen >= 0 && m->rxlen <= J5_SCAN_MAX_RX)";
  const std::string empty = "assertion failed. qb_literate:12 (fd >= 0 && buffer && length > 0)";
  const struct {
    const char* what;
    bytes request;
    std::string thrown;  // NOTHING_THROWN: served
    size_t commands_run;
    bytes answer;  // checked when given
  } cases[] = {
      {"count beyond rxlen", one_command(6, 3, 0xC5, 4, {0xA3, 7}), NOTHING_THROWN, 1, words({10}) + bytes{1, 2, 3, 4}},
      {"100 commands", batch(100), NOTHING_THROWN, 100, {}},
      {"a batch ending in transmit bytes", words({6, 2, 1, 0xC5, 0, 0, 1, 0xC5, 0, 2}) + bytes{7, 8}, NOTHING_THROWN, 2,
       words({10, 10})},
      {"101 commands", batch(101), failed + "72 (num_requests <= MAX_REQUESTS)", 0, {}},
      {"no commands", batch(0), empty, 0, {}},
      {"negative count", words({6, -3}), empty, 0, {}},
      // 16 times these counts wraps to 16 and to 1792 bytes in 32 bits.
      {"count 0x80000001", words({6, INT32_MIN + 1}) + batch(1), empty, 0, {}},
      {"count 0x80000070", words({6, INT32_MIN + 0x70}) + batch(120), empty, 0, {}},
      {"txlen 4094", one_command(6, 1, 0xC5, 0, bytes(4094, 0x11)), NOTHING_THROWN, 1, {}},
      {"txlen 4095", one_command(6, 1, 0xC5, 0, bytes(4095, 0x11)), tx, 0, {}},
      {"txlen -1", words({6, 1, 1, 0xC5, 0, -1}), tx, 0, {}},
      {"rxlen 4096", one_command(6, 1, 0xC5, 4096, {}), NOTHING_THROWN, 1, {}},
      {"rxlen 4097", one_command(6, 1, 0xC5, 4097, {}), rx, 0, {}},
      {"slot 31", one_command(6, 31, 0xC5, 0, {}), NOTHING_THROWN, 1, {}},
      {"slot 32", one_command(6, 32, 0xC5, 0, {}), slot, 0, {}},
      {"slot -1", one_command(6, -1, 0xC5, 0, {}), slot, 0, {}},
      {"transmit total 4095", words({6, 2, 1, 0xC5, 0, 2047, 1, 0xC5, 0, 2048}) + bytes(4095, 0x22),
       failed + "82 (m->txlen + tx_count <= J5_SCAN_MAX_TX)", 0, {}},
      {"nothing sent", {}, failed + "61 (r == sizeof (id))", 0, {}},
      {"id only", words({6}), failed + "68 (r == sizeof (num_requests))", 0, {}},
      {"headers cut short", words({6, 2, 1, 51, 0, 0}), failed + "75 (r)", 0, {}},
      {"transmit bytes cut short", words({6, 1, 1, 0xC5, 0, 3}) + bytes{1, 2}, failed + "85 (r)", 0, {}},
  };
  for (const auto& c : cases) {
    recording_card card;
    card.count = 10;
    card.reply = {1, 2, 3, 4, 5, 6};
    j5_scan_server_t server(card.primitive());
    const bool served_whole = c.thrown == NOTHING_THROWN;
    const served s = serve_request(server, c.request, served_whole ? next : bytes{});
    EXPECT_EQ(c.thrown, s.thrown) << c.what;
    EXPECT_TRUE(!served_whole || s.unread == next) << c.what;
    EXPECT_EQ(c.commands_run, card.calls.size()) << c.what;
    EXPECT_TRUE(c.answer.empty() || c.answer == s.answer) << c.what;
  }
}

// A one-shot server that keeps `request_size` request bytes and answers
// with `reply` a byte per write, so the client meets replies in pieces.
struct canned_server_t : qb_server_t {
  canned_server_t(bytes reply, size_t request_size) : reply_(std::move(reply)), request(request_size) {}
  void handle(int32_t fd) override {
    read_all(fd, request.data(), request.size());
    for (uint8_t byte : reply_) write_all(fd, &byte, 1);
  }
  bytes reply_, request;
};

TEST(ScanClient, ReadsEveryReplyOfABatchOrFails) {
  uint8_t first[4], second[2];
  const uint8_t tx[3] = {0xAA, 0xBB, 0xCC};
  const bytes request = words({6, 2, 2, 51, 4, 0, 31, 0xC5, 2, 3}) + bytes{0xAA, 0xBB, 0xCC};
  // A count of 10 for a room of 4: 4 bytes follow. Then a reply that ends early.
  for (const auto& [reply, result] : {std::pair{words({10}) + bytes{1, 2, 3, 4} + words({2}) + bytes{9, 8}, 1},
                                      std::pair{words({10}) + bytes{1, 2, 3, 4} + words({2}) + bytes{9}, 0}}) {
    const int32_t port = unused_loopback_port();
    auto& server = serve_in_background<canned_server_t>(port, reply, request.size());
    j5_scan_command_t commands[2] = {{51, 2, 0, 4, nullptr, first, 0}, {0xC5, 31, 3, 2, tx, second, 0}};
    EXPECT_EQ(result, test_scan_client_t(port).execute(2, commands));
    EXPECT_EQ(request, server.request);
    EXPECT_EQ((bytes{10, 2, 1, 2, 3, 4, 9}), (bytes{uint8_t(commands[0].rxcount), uint8_t(commands[1].rxcount), first[0],
                                                     first[1], first[2], first[3], second[0]}));
  }
}

TEST(ScanClient, BrokenPreconditionsShortWritesAndNoService) {
  static recording_card card;
  const int32_t port = unused_loopback_port();
  serve_in_background<j5_scan_server_t>(port, card.primitive());
  test_scan_client_t client(port), nobody(unused_loopback_port());
  j5_scan_server_t server;
  uint8_t buffer[28] = {0xE0, 0xE1, 0xE2};
  buffer[26] = 0xFA;
  char text[8];
  int32_t n;
  j5_scan_command_t bad_slot = {0xC5, 32, 0, 0, nullptr, nullptr, 0};
  j5_scan_command_t no_tx = {0xC5, 1, 4, 0, nullptr, nullptr, 0};
  j5_scan_command_t no_rx = {0xC5, 1, 0, 4, buffer, nullptr, 0};
  const std::string failed = "assertion failed. j5_scan_server:";
  const std::string short_write = failed + "234 (this && p && size < 28)";
  const std::string version = failed + "417 (this && image && length > 0 && version)";
  const struct {
    std::function<void()> action;
    std::string thrown;
  } cases[] = {
      {[&] { server.handle(0); }, failed + "58 (this && fd)"},
      {[&] { server.scan(1, 0xC5, 0, nullptr, 0, buffer); }, failed + "28 (txbuf && rxbuf)"},
      {[&] { server.scan(1, 0xC5, -1, buffer, 0, buffer); }, failed + "29 (txlen >= 0)"},
      {[&] { server.scan(1, 0xC5, 0, buffer, -1, buffer); }, failed + "30 (rxlen >= 0 && rxlen <= J5_SCAN_MAX_RX)"},
      {[&] { server.scan(32, 0xC5, 0, buffer, 0, buffer); }, failed + "32 (slot >=0 && slot < J5_SCAN_NUM_SLOTS)"},
      {[&] { client.execute(0, &bad_slot); }, failed + "161 (num_commands && commands)"},
      {[&] { client.execute(1, &bad_slot); }, failed + "185 (c->slot >= 0 && c->slot < J5_SCAN_NUM_SLOTS)"},
      {[&] { client.execute(1, &no_tx); }, failed + "186 (!c->txlen || c->txbuf)"},
      {[&] { client.execute(1, &no_rx); }, failed + "187 (!c->rxlen || c->rxbuf)"},
      {[&] { client.scan_write(5, 1, 2, buffer, 28); }, short_write},
      {[&] { client.scan_write(5, 1, 2, buffer, -1); }, short_write},
      {[&] { client.scan_write(5, 1, 2, nullptr, 0); }, short_write},
      {[&] { client.find_version(nullptr, 4, text); }, version},
      {[&] { client.find_version(buffer, 0, text); }, version},
      {[&] { client.find_version(buffer, -1, text); }, version},
      {[&] { client.find_version(buffer, 4, nullptr); }, version},
      {[&] { client.get_type(nullptr, text); }, failed + "307 (version && type)"},
      {[&] { client.get_type("Type: X3", nullptr); }, failed + "307 (version && type)"},
      {[&] { client.get_date(nullptr, text); }, failed + "280 (version && date)"},
      {[&] { client.get_date("Compiled on:\nMar 1 2000", nullptr); }, failed + "280 (version && date)"},
      {[&] { client.parse_date("Mar 1 2000 1:2:3", &n, &n, &n, &n, &n, nullptr); },
       failed + "377 (date && month && day && year && hour && minute && second)"},
      {[&] { client.compare_dates("Mar 14 2023 1:2:3", nullptr); }, failed + "326 (date1 && date2)"},
      {[&] { client.compare_dates("Mar 14 2023 1:2:3", "Mar 14 0 1:2:3"); }, failed + "398 (*year)"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.thrown, thrown_message(c.action));
  EXPECT_TRUE(card.calls.empty());  // nothing refused reached the card

  // A short write is one op-147 command; its reply count (0) is not the result.
  EXPECT_EQ(1, client.scan_write(5, 0xA1, 0xB2, buffer, 27));
  EXPECT_EQ(1, client.scan_write(4, 0xA1, 0xB2, buffer, 0));
  const bytes expected = bytes{5, 147, 0xA1, 0xB2} + bytes(buffer, buffer + 27);
  EXPECT_EQ((std::vector<bytes>{expected, {4, 147, 0xA1, 0xB2}}), card.calls);

  EXPECT_EQ(0, nobody.execute(1, &bad_slot));  // no service: nothing checked yet
  EXPECT_EQ(0, nobody.grab());
  EXPECT_EQ(0, nobody.release());
  EXPECT_EQ(0, nobody.scan_write(5, 1, 2, buffer, 3));
}

const j5_scan_client_t reader("localhost", 6);

TEST(ScanClientText, HexDumpSixteenBytesALine) {
  const uint8_t mixed[] = {0x00, 0x7f, 0x80, 0xff, ' ', '.', '_', 'A', 'z', 'Z', 'a', '9', '0', '\n', 0xe9, '-', 'X', '3'};
  const struct {
    int32_t size;
    std::string printed;
  } cases[] = {
      {18, "00 7f 80 ff 20 2e 5f 41 7a 5a 61 39 30 0a e9 2d     . . . . . . . A z Z a 9 0 . . . \n58 33     X 3 \n"},
      {1, "00     . \n"}, {0, ""}, {-5, ""},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    reader.hex_dump(mixed, c.size);
    EXPECT_EQ(c.printed, testing::internal::GetCapturedStdout()) << c.size;
  }
}

// Each part followed by its terminating zero, as strings lie in an image.
std::string zero_terminated(std::initializer_list<std::string> parts) {
  std::string out;
  for (const std::string& part : parts) out += part + '\0';
  return out;
}

TEST(ScanClientText, FindVersionJoinsTheStampedStringsWithinTheImage) {
  const std::string joined = "Type: B\nCompiled on:\nJan 1 2000\n00:00:00";
  const struct {
    const char* what;
    std::string image;
    int32_t length;  // -1: all of it; bytes past it are outside the image and must stay
    std::string version, image_after;
  } cases[] = {
      {"marker inside a string; only the first stamp counts",
       zero_terminated({"junk", "v2 Type: B", "Compiled on:", "Jan 1 2000", "00:00:00", "Type: C", "x", "y", "z"}), -1,
       joined, zero_terminated({"junk", "v2 " + joined, "Type: C", "x", "y", "z"})},
      {"marker split across strings", zero_terminated({"Type:", " X", "Typ", "e: "}), -1, "untouched",
       zero_terminated({"Type:", " X", "Typ", "e: "})},
      {"marker cut by the image end", "abc" + zero_terminated({"Type: Z"}), 6, "untouched",
       "abc" + zero_terminated({"Type: Z"})},
      {"image ends before the third zero", zero_terminated({"Type: A", "Compiled on:", "Mar 1 2020", "G"}), 31,
       "Type: A\nCompiled on:\nMar 1 2020", "Type: A\nCompiled on:\nMar 1 2020" + zero_terminated({"", "G"})},
      {"last string unterminated", zero_terminated({"Type: abcdef"}), 9, "Type: abc",
       zero_terminated({"Type: abcdef"})},
      {"last zero is the last byte", zero_terminated({"Type: T", "Compiled on:"}), -1, "Type: T\nCompiled on:\n",
       "Type: T\nCompiled on:\n"},
  };
  for (const auto& c : cases) {
    // Exactly the image's bytes on the heap: the sanitizer build sees any
    // access past them.
    bytes image(c.image.begin(), c.image.end());
    char version[128] = "untouched";
    EXPECT_EQ(1, reader.find_version(image.data(), c.length < 0 ? int32_t(image.size()) : c.length, version));
    EXPECT_EQ(c.version, version) << c.what;
    EXPECT_EQ(c.image_after, std::string(image.begin(), image.end())) << c.what;
  }
}

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
      {"Type: X3 Compiled on:\nFeb 3 2001\n04:05:06", "X3 Compiled on:", "Feb 3 2001 04:05:06"},
      {"Compiled on:\nMay 5 2005\n", "couldn't find Type in Compiled on:\nMay 5 2005\n\n", "May 5 2005"},
      {"Type:solo\nCompiled on: May", "couldn't find Type in Type:solo\nCompiled on: May\n",
       "couldn't find date in Type:solo\nCompiled on: May\n"},
      {"Type:  \nCompiled on:\n  \n", " ", " "},  // white space only: the first character stays
      {"Compiled on:\nType: ", "", "Type:"},
      // The message keeps its first 199 characters, the date its first 255.
      {std::string(300, 'x'), "couldn't find Type in " + std::string(177, 'x'),
       "couldn't find date in " + std::string(177, 'x')},
      {"Compiled on:\n" + std::string(300, '7'), "couldn't find Type in Compiled on:\n" + std::string(164, '7'),
       std::string(255, '7')},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.type, text_or_thrown([&](char* out) { return reader.get_type(c.version.c_str(), out); })) << c.version;
    EXPECT_EQ(c.date, text_or_thrown([&](char* out) { return reader.get_date(c.version.c_str(), out); })) << c.version;
  }
  char out[8];
  memset(out, '#', sizeof out);
  reader.get_type("Type: X3", out, 0);
  reader.get_date("Compiled on:\nMar 14 2023", out, 0);
  EXPECT_EQ(std::string(8, '#'), std::string(out, 8));  // no room: nothing written
  EXPECT_STREQ("X3", reader.get_type("Type: X3 line card", out, 4));  // "X3 " trimmed
  EXPECT_EQ("#####", std::string(out + 3, 5));
  EXPECT_STREQ("Mar 1", reader.get_date("Compiled on:\nMar 14 2023\n12:34:56", out, 6));
  EXPECT_EQ("##", std::string(out + 6, 2));
}

TEST(ScanClientText, ParseAndCompareDates) {
  const std::string failed = "assertion failed. j5_scan_server:";
  const struct {
    const char* date;
    std::array<int32_t, 6> fields;  // month, day, year, hour, minute, second
    std::string thrown;
  } cases[] = {
      {"Dec 31 1999\n23:59:59 extra", {12, 31, 1999, 23, 59, 59}, NOTHING_THROWN},
      {"  Jan   1 2000 :: 0:0:0", {1, 1, 2000, 0, 0, 0}, NOTHING_THROWN},
      {"mar 14 2023 1:2:3", {0, 14, 2023, 1, 2, 3}, NOTHING_THROWN},
      {"March 14 2023 1:2:3", {0, 14, 2023, 1, 2, 3}, NOTHING_THROWN},
      {"Feb -5 +2021 07h:08.5:x9", {2, -5, 2021, 7, 8, 0}, NOTHING_THROWN},
      {"Feb 99999999999 -99999999999 1:2:3", {2, INT32_MAX, INT32_MIN, 1, 2, 3}, NOTHING_THROWN},
      {"Mar 0 2023 1:2:3", {3}, failed + "393 (*day)"},          {"Mar x1 2023 1:2:3", {3}, failed + "393 (*day)"},
      {"Mar 1 0 1:2:3", {3, 1}, failed + "398 (*year)"},        {" : \n", {}, failed + "382 (s)"},
      {"Mar", {3}, failed + "391 (s)"},                         {"Mar 1", {3, 1}, failed + "396 (s)"},
      {"Mar 1 2000", {3, 1, 2000}, failed + "401 (s)"},         {"Mar 1 2000 1", {3, 1, 2000, 1}, failed + "405 (s)"},
      {"Mar 1 2000 1:2", {3, 1, 2000, 1, 2}, failed + "409 (s)"},
  };
  for (const auto& c : cases) {
    std::array<int32_t, 6> f{};
    EXPECT_EQ(c.thrown, thrown_message([&] { reader.parse_date(c.date, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5]); }));
    EXPECT_EQ(c.fields, f) << c.date;
  }
  const struct {
    const char *earlier, *later;
  } orders[] = {
      {"Mar 14 2023 12:34:55", "Mar 14 2023 12:34:56"}, {"Dec 31 1999 23:59:59", "Jan 1 2000 00:00:00"},
      {"Jan 31 2000 23:59:59", "Feb 1 2000 00:00:00"},  {"Feb 1 2000 23:59:59", "Feb 2 2000 00:00:00"},
      {"Feb 1 2000 22:59:59", "Feb 1 2000 23:00:00"},   {"Feb 1 2000 23:58:59", "Feb 1 2000 23:59:00"},
      {"Foo 31 2000 23:59:59", "Jan 1 2000 00:00:00"},  // an unknown month is 0
      {"Jan 1 2000 -1:00:00", "Jan 1 2000 00:00:00"},
  };
  for (const auto& o : orders) {
    EXPECT_EQ(-1, reader.compare_dates(o.earlier, o.later)) << o.earlier << " / " << o.later;
    EXPECT_EQ(1, reader.compare_dates(o.later, o.earlier)) << o.earlier << " / " << o.later;
  }
  EXPECT_EQ(0, reader.compare_dates("Mar 14 2023 12:34:56", "Mar  14 2023\n12:34:56"));
}

}  // namespace
