#include "upload/uploader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

const char kType[] = "multipart/form-data; boundary=XyZ";

// The flags as a string of 0 and 1, slot 0 first.
std::string flags(const uploader_t& reader) {
  std::string text;
  for (int32_t flag : reader.selected) text += static_cast<char>('0' + flag);
  return text;
}

std::string flags_of(std::initializer_list<int> slots) {
  std::string text(uploader_t::SLOT_COUNT, '0');
  for (int slot : slots) text[slot] = '1';
  return text;
}

TEST(Uploader, DispositionLineSelectsTheSlotItNames) {
  const struct {
    const char* name;
    std::string expected;
  } cases[] = {
      {"name=\"slot7\"", flags_of({7})},    {"name=\"slot05\"", flags_of({5})},
      {"name=\"slot0\"", flags_of({0})},    {"name=\"slot31\"", flags_of({31})},
      {"name=\"slot32\"", flags_of({})},    {"name=\"slot-1\"", flags_of({})},
      {"name=\"slot\"", flags_of({})},      {"name=\"slot3x\"", flags_of({3})},
      {"name=\"slot 9\"", flags_of({9})},   {"name=\"slot4294967303\"", flags_of({})},
      {"name=\"image\"; filename=\"slot12.s19\"", flags_of({12})},
      {"name=\"slotx\"; filename=\"slot4\"", flags_of({})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    uploader_t reader(kType);
    reader.handle_disposition(("Content-Disposition: form-data; " + std::string(c.name) + "\r\n").c_str());
    EXPECT_EQ(c.expected, flags(reader));
  }
}

TEST(Uploader, ParseMarksSlotsBeforeTheFileOnly) {
  std::string body;
  for (const char* slot : {"slot1", "slot1", "slot31", "image\"; filename=\"x3.s19", "slot2"}) {
    body += "--XyZ\r\nContent-Disposition: form-data; name=\"" + std::string(slot) + "\"\r\n";
    if (slot[0] == 'i') body += "Content-Type: application/octet-stream\r\n";
    body += "\r\non\r\n";
  }
  FILE* in = fmemopen(body.data(), body.size(), "r");
  uploader_t reader(kType);
  reader.parse(in);
  fclose(in);
  EXPECT_EQ(flags_of({1, 31}), flags(reader));
}

}  // namespace
