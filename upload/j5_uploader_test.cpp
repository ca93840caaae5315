#include "upload/j5_uploader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "tests/support/thrown.h"
#include "upload/uploader.h"

namespace {

const char CONTENT_TYPE[] = "multipart/form-data; boundary=XyZ";
const std::string FILE_HEADERS =
    "--XyZ\r\nContent-Disposition: form-data; name=\"image\"; filename=\"x3.s19\"\r\n"
    "Content-Type: application/octet-stream\r\n\r\n";
const std::string OCTET_ONLY = "Content-Type: application/octet-stream\r\n\r\nDATA";

std::string field(const std::string& name) {
  return "--XyZ\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\non\r\n";
}

// A Content-Disposition line of exactly `length` characters, CR LF included.
std::string disposition_of_length(size_t length) {
  const std::string head = "Content-Disposition: form-data; name=\"f\"; filename=\"";
  return head + std::string(length - head.size() - 3, 'f') + "\"\r\n";
}

// Parses `body`: what the stream still holds, or the message thrown.
std::string parse_and_read_rest(j5_uploader_t& reader, std::string body) {
  std::unique_ptr<FILE, int (*)(FILE*)> in(fmemopen(body.data(), body.size(), "r"), fclose);
  const std::string thrown = thrown_message([&] { reader.parse(in.get()); });
  if (thrown != NOTHING_THROWN) return thrown;
  std::string rest;
  for (int c; (c = fgetc(in.get())) != EOF;) rest += static_cast<char>(c);
  return rest;
}

TEST(J5Uploader, ParseStopsAtTheFirstByteOfTheFileOrRejectsTheBody) {
  const std::string malformed = "malformed upload stream";
  const struct {
    const char* content_type;
    std::string body, rest;
  } cases[] = {
      {CONTENT_TYPE, "preamble\r\n" + field("a") + FILE_HEADERS + "S0\r\n--XyZ\r\n" + field("b"),
       "S0\r\n--XyZ\r\n" + field("b")},
      {CONTENT_TYPE, "--XyZ\r\n\r\n\xff\xff--XyZ\xff\r\n" + FILE_HEADERS + "\xff!", "\xff!"},
      {"multipart/form-data; boundary=\xff\x80", "--\xff\x80\r\n" + OCTET_ONLY, "DATA"},
      {"multipart/form-data; boundary=", "--\r\n" + OCTET_ONLY, "DATA"},
      // The type named in a file name, or in a header not at its start.
      {CONTENT_TYPE, "--XyZ\r\nContent-Disposition: x; filename=\"application/octet-stream\"\r\n\r\n" + FILE_HEADERS + "DATA",
       "DATA"},
      {CONTENT_TYPE, "--XyZ\r\n Content-Disposition: application/octet-stream\r\n\r\nDATA", "DATA"},
      {CONTENT_TYPE, "--XyZ\r\n" + disposition_of_length(254) + OCTET_ONLY, "DATA"},
      // A header after the type line reaches the caller; CR CR LF ends no line.
      {CONTENT_TYPE, "--XyZ\r\nContent-Type: application/octet-stream\r\nX-Extra: 1\r\n\r\nDATA", "\r\nDATA"},
      {CONTENT_TYPE, "--XyZ\r\nContent-Type: application/octet-stream\r\n\r\r\n\r\nDATA", "DATA"},
      {CONTENT_TYPE, "", malformed},
      {CONTENT_TYPE, "--XyZ--\r\n", malformed},
      {CONTENT_TYPE, field("image") + "--XyZ--\r\n", malformed},
      {"multipart/form-data; boundary=\"XyZ\"", FILE_HEADERS, malformed},
      {CONTENT_TYPE, "--XyZ \r\n" + OCTET_ONLY, malformed},
      {CONTENT_TYPE, "----XyZ\r\n" + OCTET_ONLY, malformed},  // a broken match is not retried
      {CONTENT_TYPE, "--XyZ\r\n" + disposition_of_length(255) + OCTET_ONLY, malformed},
      {CONTENT_TYPE, "--XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n", malformed},
      {CONTENT_TYPE, "--XyZ\r\nContent-Type: application/octet-stream\r\n", malformed},
  };
  for (const auto& c : cases) {
    j5_uploader_t reader(c.content_type);
    EXPECT_EQ(c.rest, parse_and_read_rest(reader, c.body)) << c.body;
    EXPECT_TRUE(c.rest == malformed || reader.beginning_pos + reader.ending_pos + reader.crlf_pos == 0) << c.body;
  }
}

TEST(Uploader, TheDispositionLineMarksTheSlotItNames) {
  const struct {
    const char* name;
    int slot;  // -1: none
  } cases[] = {
      {"name=\"slot7\"", 7},   {"name=\"slot05\"", 5},  {"name=\"slot0\"", 0},
      {"name=\"slot31\"", 31}, {"name=\"slot32\"", -1}, {"name=\"slot-1\"", -1},
      {"name=\"slot\"", -1},   {"name=\"slot3x\"", 3},  {"name=\"slot 9\"", 9},
      {"name=\"slot4294967303\"", -1}, {"name=\"image\"; filename=\"slot12.s19\"", 12},
      {"name=\"slotx\"; filename=\"slot4\"", -1},
  };
  for (const auto& c : cases) {
    uploader_t reader(CONTENT_TYPE);
    reader.handle_disposition(("Content-Disposition: form-data; " + std::string(c.name) + "\r\n").c_str());
    for (int slot = 0; slot < uploader_t::SLOT_COUNT; slot++) EXPECT_EQ(slot == c.slot, reader.selected[slot]) << c.name;
  }
}

}  // namespace
