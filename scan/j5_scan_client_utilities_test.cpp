#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/thrown.h"
#include "scan/j5_scan_server.h"
#include "tests/support/loopback.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes words(std::initializer_list<int32_t> values) { return wire_words(values); }

// Each part followed by its terminating zero, as strings lie in an image.
std::string zero_terminated(std::initializer_list<std::string> parts) {
  std::string out;
  for (const std::string& part : parts) out += part + '\0';
  return out;
}

// What the operation returned, or the message of what it threw.
template <typename F>
std::string text_or_thrown(F operation) {
  try {
    return operation();
  } catch (const exception_t& e) {
    return e.message;
  }
}

const j5_scan_client_t client("localhost", 6);

// Counts connections and records one op-147 request per connection
// (header and transmit bytes); answers with count 0.
class short_write_server_t : public qb_server_t {
 public:
  void handle(int32_t fd) override {
    connections++;
    bytes request(24);
    if (!read_all(fd, request.data(), 24)) return;
    const int32_t txlen = request[23];  // below 256 in every request here
    request.resize(24 + txlen);
    if (txlen && !read_all(fd, request.data() + 24, txlen)) return;
    {
      std::lock_guard<std::mutex> lock(mutex);
      last_request = request;
    }
    const bytes reply = words({0});
    write_all(fd, reply.data(), 4);
  }
  std::atomic<int> connections{0};
  std::mutex mutex;
  bytes last_request;
};

TEST(ScanWrite, SendsOneOp147CommandOrRefusesBeforeConnecting) {
  const int32_t port = unused_loopback_port();
  auto& server = serve_in_background<short_write_server_t>(port);
  test_scan_client_t writer(port);
  bytes payload(28);
  for (size_t i = 0; i < payload.size(); i++) payload[i] = uint8_t(0xE0 + i);
  const std::string refused = "assertion failed. j5_scan_server:234 (this && p && size < 28)";
  struct {
    int32_t size;
    const uint8_t* p;
    bool accepted;
  } cases[] = {{27, payload.data(), true}, {28, payload.data(), false},
               {-1, payload.data(), false}, {0, nullptr, false},
               {0, payload.data(), true}};
  int accepted = 0;
  for (const auto& c : cases) {
    if (!c.accepted) {
      EXPECT_EQ(refused, thrown_message([&] { writer.scan_write(5, 0xA1, 0xB2, c.p, c.size); }))
          << c.size;
      continue;
    }
    accepted++;
    // The reply count (0) is not the result: the exchange worked.
    EXPECT_EQ(1, writer.scan_write(5, 0xA1, 0xB2, c.p, c.size)) << c.size;
    bytes expected = words({6, 1, 5, 147, 0, c.size + 2});
    expected.insert(expected.end(), {0xA1, 0xB2});
    expected.insert(expected.end(), c.p, c.p + c.size);
    std::lock_guard<std::mutex> lock(server.mutex);
    EXPECT_EQ(expected, server.last_request) << c.size;
  }
  // The server takes connections in order: a refused call that had
  // connected would be counted before the last accepted one.
  EXPECT_EQ(accepted, server.connections.load());

  test_scan_client_t nobody(unused_loopback_port());
  EXPECT_EQ(0, nobody.scan_write(5, 1, 2, payload.data(), 3));
}

TEST(HexDump, SixteenBytesALineAndAnUnpaddedRemainder) {
  const uint8_t mixed[16] = {0x00, 0x7f, 0x80, 0xff, ' ', '.', '_', 'A',
                             'z',  'Z',  'a',  '9',  '0', '\n', 0xe9, '-'};
  const uint8_t twenty[] = "0123456789abcdefXYZ ";
  const uint8_t one = 0xAB;
  struct {
    const uint8_t* p;
    int32_t size;
    std::string printed;
  } cases[] = {
      {mixed, 16,
       "00 7f 80 ff 20 2e 5f 41 7a 5a 61 39 30 0a e9 2d     . . . . . . . A z Z a 9 0 . . . \n"},
      {twenty, 20,
       "30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66     0 1 2 3 4 5 6 7 8 9 a b c d e f \n"
       "58 59 5a 20     X Y Z . \n"},
      {&one, 1, "ab     . \n"},
      {twenty, 0, ""},
      {twenty, -5, ""},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    client.hex_dump(c.p, c.size);
    EXPECT_EQ(c.printed, testing::internal::GetCapturedStdout()) << c.size;
  }
}

TEST(FindVersion, JoinsTheStampedStringsWithinTheImage) {
  const std::string joined = "Type: X3 line card\nCompiled on:\nMar 14 2023\n12:34:56";
  struct {
    const char* what;
    std::string image;
    int32_t length;  // bytes after it are outside the image and must stay
    std::string version;
    std::string image_after;
  } cases[] = {
      {"stamp between other strings",
       zero_terminated({"junk", "Type: X3 line card", "Compiled on:", "Mar 14 2023", "12:34:56", "tail"}),
       -1, joined, zero_terminated({"junk", joined, "tail"})},
      {"marker inside a string; only the first stamp counts",
       zero_terminated({"v2 Type: B", "Compiled on:", "Jan 1 2000", "00:00:00", "Type: C", "x", "y", "z"}),
       -1, "Type: B\nCompiled on:\nJan 1 2000\n00:00:00",
       zero_terminated({"v2 Type: B\nCompiled on:\nJan 1 2000\n00:00:00", "Type: C", "x", "y", "z"})},
      {"marker split across strings", zero_terminated({"Type:", " X", "Typ", "e: "}), -1,
       "untouched", zero_terminated({"Type:", " X", "Typ", "e: "})},
      {"marker cut by the image end", zero_terminated({"abc"}) + "Type: Z" + '\0', 9, "untouched",
       zero_terminated({"abc"}) + "Type: Z" + '\0'},
      {"image ends before the third zero",
       zero_terminated({"Type: A", "Compiled on:"}) + "Mar 1 2020" + zero_terminated({"", "G"}), 31,
       "Type: A\nCompiled on:\nMar 1 2020",
       "Type: A\nCompiled on:\nMar 1 2020" + zero_terminated({"", "G"})},
      {"last string unterminated", zero_terminated({"junk"}) + "Type: abc" + "def" + '\0', 14,
       "Type: abc", zero_terminated({"junk"}) + "Type: abcdef" + '\0'},
      {"last zero is the last byte", zero_terminated({"Type: T", "Compiled on:"}), -1,
       "Type: T\nCompiled on:\n", "Type: T\nCompiled on:\n"},
  };
  for (const auto& c : cases) {
    // Exactly the buffer's bytes on the heap, so that a sanitizer build
    // sees any access past them.
    bytes image(c.image.begin(), c.image.end());
    char version[128] = "untouched";
    const int32_t length = c.length < 0 ? static_cast<int32_t>(image.size()) : c.length;
    EXPECT_EQ(1, client.find_version(image.data(), length, version)) << c.what;
    EXPECT_EQ(c.version, version) << c.what;
    EXPECT_EQ(c.image_after, std::string(image.begin(), image.end())) << c.what;
  }

  uint8_t image[4] = {'T', 0, 0, 0};
  char version[8];
  const std::string refused =
      "assertion failed. j5_scan_server:417 (this && image && length > 0 && version)";
  EXPECT_EQ(refused, thrown_message([&] { client.find_version(nullptr, 4, version); }));
  EXPECT_EQ(refused, thrown_message([&] { client.find_version(image, 0, version); }));
  EXPECT_EQ(refused, thrown_message([&] { client.find_version(image, -1, version); }));
  EXPECT_EQ(refused, thrown_message([&] { client.find_version(image, 4, nullptr); }));
}

std::string type_of(const std::string& version) {
  return text_or_thrown([&] {
    char type[J5_SCAN_TEXT_SIZE];
    return std::string(client.get_type(version.c_str(), type));
  });
}

std::string date_of(const std::string& version) {
  return text_or_thrown([&] {
    char date[J5_SCAN_TEXT_SIZE];
    return std::string(client.get_date(version.c_str(), date));
  });
}

TEST(VersionText, TypeAndDate) {
  struct {
    std::string version, type, date;
  } cases[] = {
      {"Type: X3 line card\nCompiled on:\nMar 14 2023\n12:34:56", "X3 line card",
       "Mar 14 2023 12:34:56"},
      {"Type: X3 \t\r\nCompiled on:\nJan 2 1999\n01:02:03 \t\nrest", "X3", "Jan 2 1999 01:02:03"},
      {"Type: X3 Compiled on:\nFeb 3 2001\n04:05:06", "X3 Compiled on:", "Feb 3 2001 04:05:06"},
      {"Compiled on:\nMay 5 2005\n", "couldn't find Type in Compiled on:\nMay 5 2005\n\n",
       "May 5 2005"},
      {"Type: solo", "solo", "couldn't find date in Type: solo\n"},
      {"Type:solo\nCompiled on: May 5 2005", "couldn't find Type in Type:solo\nCompiled on: May 5 2005\n",
       "couldn't find date in Type:solo\nCompiled on: May 5 2005\n"},
      // White space only: the first character stays.
      {"Type:  \nCompiled on:\n  \n", " ", " "},
      {"Compiled on:\nType: ", "", "Type:"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.type, type_of(c.version)) << c.version;
    EXPECT_EQ(c.date, date_of(c.version)) << c.version;
  }

  // A long version text: the message keeps its first 199 characters.
  EXPECT_EQ("couldn't find Type in " + std::string(177, 'x'), type_of(std::string(300, 'x')));
  EXPECT_EQ("couldn't find date in " + std::string(177, 'x'), date_of(std::string(300, 'x')));
  // A date longer than the work area is cut to 255 characters.
  EXPECT_EQ(std::string(255, '7'), date_of("Compiled on:\n" + std::string(300, '7')));

  char out[8];
  memset(out, '#', sizeof out);
  EXPECT_STREQ("X3", client.get_type("Type: X3 line card", out, 4));  // "X3 " trimmed
  EXPECT_EQ("#####", std::string(out + 3, 5));
  memset(out, '#', sizeof out);
  EXPECT_STREQ("Mar 1", client.get_date("Compiled on:\nMar 14 2023\n12:34:56", out, 6));
  EXPECT_EQ("##", std::string(out + 6, 2));
  memset(out, '#', sizeof out);
  client.get_type("Type: X3", out, 0);
  client.get_date("Compiled on:\nMar 14 2023", out, 0);
  EXPECT_EQ(std::string(8, '#'), std::string(out, 8));

  EXPECT_EQ("assertion failed. j5_scan_server:307 (version && type)",
            thrown_message([&] { client.get_type(nullptr, out); }));
  EXPECT_EQ("assertion failed. j5_scan_server:307 (version && type)",
            thrown_message([&] { client.get_type("Type: X3", nullptr); }));
  EXPECT_EQ("assertion failed. j5_scan_server:280 (version && date)",
            thrown_message([&] { client.get_date(nullptr, out); }));
  EXPECT_EQ("assertion failed. j5_scan_server:280 (version && date)",
            thrown_message([&] { client.get_date("Compiled on:\nMar 1 2000", nullptr); }));
}

TEST(ParseDate, TokensAndRefusals) {
  const std::string missing = "assertion failed. j5_scan_server:";
  struct {
    const char* date;
    std::array<int32_t, 6> fields;  // month, day, year, hour, minute, second
    std::string thrown;
  } cases[] = {
      {"Mar 14 2023 12:34:56", {3, 14, 2023, 12, 34, 56}, ""},
      {"Dec 31 1999\n23:59:59 extra", {12, 31, 1999, 23, 59, 59}, ""},
      {"  Jan   1 2000 :: 0:0:0", {1, 1, 2000, 0, 0, 0}, ""},
      {"mar 14 2023 1:2:3", {0, 14, 2023, 1, 2, 3}, ""},
      {"March 14 2023 1:2:3", {0, 14, 2023, 1, 2, 3}, ""},
      {"Feb -5 +2021 07h:08.5:x9", {2, -5, 2021, 7, 8, 0}, ""},
      {"Feb 99999999999 -99999999999 1:2:3", {2, INT32_MAX, INT32_MIN, 1, 2, 3}, ""},
      {"Mar 0 2023 1:2:3", {}, missing + "393 (*day)"},
      {"Mar x1 2023 1:2:3", {}, missing + "393 (*day)"},
      {"Mar 1 0 1:2:3", {}, missing + "398 (*year)"},
      {" : \n", {}, missing + "382 (s)"},
      {"Mar", {}, missing + "391 (s)"},
      {"Mar 1", {}, missing + "396 (s)"},
      {"Mar 1 2000", {}, missing + "401 (s)"},
      {"Mar 1 2000 1", {}, missing + "405 (s)"},
      {"Mar 1 2000 1:2", {}, missing + "409 (s)"},
  };
  for (const auto& c : cases) {
    std::array<int32_t, 6> f{};
    const std::string thrown = thrown_message([&] {
      EXPECT_EQ(1, client.parse_date(c.date, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5]));
    });
    if (c.thrown.empty()) {
      EXPECT_EQ("(nothing thrown)", thrown) << c.date;
      EXPECT_EQ(c.fields, f) << c.date;
    } else {
      EXPECT_EQ(c.thrown, thrown) << c.date;
    }
  }
  int32_t n;
  EXPECT_EQ(
      "assertion failed. j5_scan_server:377 "
      "(date && month && day && year && hour && minute && second)",
      thrown_message([&] { client.parse_date("Mar 1 2000 1:2:3", &n, &n, &n, &n, &n, nullptr); }));
}

TEST(CompareDates, OrdersFromYearDownToSecond) {
  struct {
    const char *earlier, *later;
  } cases[] = {
      {"Mar 14 2023 12:34:55", "Mar 14 2023 12:34:56"},
      {"Dec 31 1999 23:59:59", "Jan 1 2000 00:00:00"},
      {"Jan 31 2000 23:59:59", "Feb 1 2000 00:00:00"},
      {"Feb 1 2000 23:59:59", "Feb 2 2000 00:00:00"},
      {"Feb 1 2000 22:59:59", "Feb 1 2000 23:00:00"},
      {"Feb 1 2000 23:58:59", "Feb 1 2000 23:59:00"},
      {"Foo 31 2000 23:59:59", "Jan 1 2000 00:00:00"},  // unknown month is 0
      {"Jan 1 2000 -1:00:00", "Jan 1 2000 00:00:00"},   // signed fields
  };
  for (const auto& c : cases) {
    EXPECT_EQ(-1, client.compare_dates(c.earlier, c.later)) << c.earlier << " / " << c.later;
    EXPECT_EQ(1, client.compare_dates(c.later, c.earlier)) << c.earlier << " / " << c.later;
  }
  EXPECT_EQ(0, client.compare_dates("Mar 14 2023 12:34:56", "Mar  14 2023\n12:34:56"));
  EXPECT_EQ("assertion failed. j5_scan_server:326 (date1 && date2)",
            thrown_message([&] { client.compare_dates("Mar 14 2023 1:2:3", nullptr); }));
  EXPECT_EQ("assertion failed. j5_scan_server:398 (*year)",
            thrown_message([&] { client.compare_dates("Mar 14 2023 1:2:3", "Mar 14 0 1:2:3"); }));
}

}  // namespace
