#include "tests/support/firmware.h"

#include <cstdio>
#include <random>

void add_random_bytes(firmware& image, uint32_t offset, uint32_t length, uint32_t seed) {
  std::mt19937 random(seed);
  for (uint32_t i = 0; i < length; i++) image[offset + i] = random() & 0xFF;
}

std::string s3_record(uint32_t address, const std::vector<uint8_t>& data) {
  const unsigned count = data.size() + 5;
  char field[16];
  snprintf(field, sizeof field, "S3%02X%08X", count, address);
  std::string line = field;
  unsigned sum = count + (address >> 24) + ((address >> 16) & 0xFF) + ((address >> 8) & 0xFF) +
                 (address & 0xFF);
  for (uint8_t b : data) {
    snprintf(field, sizeof field, "%02X", b);
    line += field;
    sum += b;
  }
  snprintf(field, sizeof field, "%02X", ~sum & 0xFF);
  return line + field;
}

std::string s_records(const firmware& image, size_t per_record) {
  std::string text = "S00F000068656C6C6F202020202000003C\r\n";
  auto it = image.begin();
  while (it != image.end()) {
    const uint32_t start = it->first;
    std::vector<uint8_t> data;
    while (it != image.end() && it->first == start + data.size() && data.size() < per_record) {
      data.push_back(it->second);
      ++it;
    }
    text += s3_record(start, data) + "\r\n";
  }
  return text + "S70500000000FA\r\n";
}

const char FORM_BOUNDARY[] = "----WebKitFormBoundaryx3TESTx3";

std::string form_content_type() {
  return std::string("multipart/form-data; boundary=") + FORM_BOUNDARY;
}

std::string multipart_form(const std::vector<int>& slots, const std::string& file_content,
                           const std::string& file_type) {
  const std::string delimiter = std::string("--") + FORM_BOUNDARY + "\r\n";
  std::string body;
  for (int slot : slots) {
    body += delimiter + "Content-Disposition: form-data; name=\"slot" + std::to_string(slot) +
            "\"\r\n\r\non\r\n";
  }
  body += delimiter +
          "Content-Disposition: form-data; name=\"image\"; filename=\"x3.s19\"\r\n"
          "Content-Type: " + file_type + "\r\n\r\n" + file_content + "\r\n--" + FORM_BOUNDARY +
          "--\r\n";
  return body;
}
