#include "upload/j5_uploader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/exception.h"

namespace {

const char kType[] = "multipart/form-data; boundary=XyZ";
const char kFileHeaders[] =
    "--XyZ\r\nContent-Disposition: form-data; name=\"image\"; filename=\"x3.s19\"\r\n"
    "Content-Type: application/octet-stream\r\n\r\n";
const char kOctetOnly[] = "Content-Type: application/octet-stream\r\n\r\nDATA";

class recording_uploader_t : public j5_uploader_t {
 public:
  using j5_uploader_t::j5_uploader_t;
  void handle_disposition(const char* header_line) override { seen.push_back(header_line); }
  std::vector<std::string> seen;
};

// The message of the exception_t that f throws, or "" when it throws none.
template <typename F>
std::string failure_of(F f) {
  try {
    f();
  } catch (const exception_t& e) {
    return e.message;
  }
  return "";
}

// Parses body from a memory stream; returns what the stream still holds.
std::string parse_and_read_rest(j5_uploader_t& reader, std::string body) {
  std::unique_ptr<FILE, int (*)(FILE*)> in(fmemopen(body.data(), body.size(), "r"), fclose);
  reader.parse(in.get());
  std::string rest;
  for (int c; (c = fgetc(in.get())) != EOF;) rest += static_cast<char>(c);
  return rest;
}

std::string field(const std::string& name) {
  return "--XyZ\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\non\r\n";
}

// A Content-Disposition line of exactly `length` characters, CR LF included.
std::string disposition_of_length(size_t length) {
  const std::string head = "Content-Disposition: form-data; name=\"f\"; filename=\"";
  return head + std::string(length - head.size() - 3, 'f') + "\"\r\n";
}

TEST(J5Uploader, DelimitersTakeEverythingAfterBoundaryParameter) {
  for (std::string boundary : {"XyZ", "", "\"q r\"", "a; charset=x "}) {
    j5_uploader_t reader(("multipart/form-data; boundary=" + boundary).c_str());
    ASSERT_EQ(boundary.size() + 4, size_t(reader.beginning_length));
    ASSERT_EQ(boundary.size() + 4, size_t(reader.ending_length));
    EXPECT_EQ("--" + boundary + "\r\n", std::string(reader.beginning.get(), reader.beginning_length));
    EXPECT_EQ("\r\n--" + boundary, std::string(reader.ending.get(), reader.ending_length));
  }
}

TEST(J5Uploader, BrokenPreconditions) {
  const std::string no_type = "assertion failed. j5_uploader:33 (this && content_type && *content_type)";
  EXPECT_EQ(no_type, failure_of([] { j5_uploader_t reader(nullptr); }));
  EXPECT_EQ(no_type, failure_of([] { j5_uploader_t reader(""); }));
  EXPECT_EQ("assertion failed. j5_uploader:36 (boundary)", failure_of([] { j5_uploader_t r("a; Boundary=b"); }));

  j5_uploader_t reader(kType);
  EXPECT_EQ("assertion failed. j5_uploader:79 (this && in)", failure_of([&] { reader.parse(nullptr); }));
  int32_t past_end = 2;
  EXPECT_EQ("assertion failed. j5_uploader:10 (this && s && p && *p < length)",
            failure_of([&] { reader.match('a', "ab", &past_end, 2); }));
}

TEST(J5Uploader, MatchKeepsPositionOnMismatch) {
  j5_uploader_t reader(kType);
  int32_t position = 0;
  EXPECT_EQ(j5_uploader_t::MATCH_ADVANCED, reader.match('a', "a\xff", &position, 2));
  EXPECT_EQ(j5_uploader_t::MATCH_MISMATCH, reader.match('\x7f', "a\xff", &position, 2));
  EXPECT_EQ(j5_uploader_t::MATCH_COMPLETE, reader.match('\xff', "a\xff", &position, 2));
  EXPECT_EQ(2, position);
}

TEST(J5Uploader, ParseStopsAtFirstByteOfFileContent) {
  const struct {
    const char* content_type;
    std::string body, rest;
  } cases[] = {
      {kType, "preamble\r\n" + field("a") + kFileHeaders + "S0\r\n--XyZ\r\n" + field("b"),
       "S0\r\n--XyZ\r\n" + field("b")},
      {kType, "--XyZ\r\n\r\n\xff\xff--XyZ\xff\r\n" + std::string(kFileHeaders) + "\xff!", "\xff!"},
      {"multipart/form-data; boundary=\xff\x80", "--\xff\x80\r\n" + std::string(kOctetOnly), "DATA"},
      {"multipart/form-data; boundary=", "--\r\n" + std::string(kOctetOnly), "DATA"},
      // The type named in a file name, or in a header not at its start.
      {kType, "--XyZ\r\nContent-Disposition: x; filename=\"application/octet-stream\"\r\n\r\n" +
                  std::string(kFileHeaders) + "DATA", "DATA"},
      {kType, "--XyZ\r\n Content-Disposition: application/octet-stream\r\n\r\nDATA", "DATA"},
      {kType, "--XyZ\r\n" + disposition_of_length(254) + kOctetOnly, "DATA"},
      // A header after the type line reaches the caller; CR CR LF ends no line.
      {kType, "--XyZ\r\nContent-Type: application/octet-stream\r\nX-Extra: 1\r\n\r\nDATA", "\r\nDATA"},
      {kType, "--XyZ\r\nContent-Type: application/octet-stream\r\n\r\r\n\r\nDATA", "DATA"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    j5_uploader_t reader(c.content_type);
    EXPECT_EQ(c.rest, parse_and_read_rest(reader, c.body));
    EXPECT_EQ(0, reader.beginning_pos + reader.ending_pos + reader.crlf_pos);
  }
}

TEST(J5Uploader, DispositionLinesUpToFilePartReachHandler) {
  recording_uploader_t reader(kType);
  parse_and_read_rest(reader, field("a") + "--XyZ\r\n" + disposition_of_length(254) + "\r\nx\r\n" +
                                  kFileHeaders + "DATA\r\n" + field("b"));
  EXPECT_EQ((std::vector<std::string>{"Content-Disposition: form-data; name=\"a\"\r\n", disposition_of_length(254),
                                      "Content-Disposition: form-data; name=\"image\"; filename=\"x3.s19\"\r\n"}),
            reader.seen);
}

TEST(J5Uploader, MalformedBodiesAreRejected) {
  const struct {
    const char* content_type;
    std::string body;
  } cases[] = {
      {kType, ""},
      {kType, "--XyZ--\r\n"},
      {kType, field("image") + "--XyZ--\r\n"},
      {"multipart/form-data; boundary=\"XyZ\"", kFileHeaders},
      {kType, "--XyZ \r\n" + std::string(kOctetOnly)},
      {kType, "----XyZ\r\n" + std::string(kOctetOnly)},  // a broken match is not retried
      {kType, "--XyZ\r\n" + disposition_of_length(255) + kOctetOnly},
      {kType, "--XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n"},
      {kType, "--XyZ\r\nContent-Type: application/octet-stream\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    j5_uploader_t reader(c.content_type);
    EXPECT_EQ("malformed upload stream", failure_of([&] { parse_and_read_rest(reader, c.body); }));
  }
}

TEST(J5Uploader, SameWordAcceptsEitherByteOrder) {
  EXPECT_TRUE(j5_uploader_t::same_word(0x12345678, 0x12345678));
  EXPECT_TRUE(j5_uploader_t::same_word(0x12345678, 0x78563412));
  EXPECT_FALSE(j5_uploader_t::same_word(0x12345678, 0x56781234));
}

}  // namespace
