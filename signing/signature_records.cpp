#include "signing/signature_records.h"

#include <cstring>
#include <vector>

namespace {

const size_t TAG_BYTES = sizeof SIGNATURE_TAG - 1;
const char DIGITS[] = "0123456789ABCDEF";
// "S0", the count, the address 0000: the data starts at character 8.
const size_t S0_DATA_POS = 8;

std::string hex_bytes(const uint8_t* data, size_t size) {
  std::string text;
  for (size_t i = 0; i < size; i++) {
    text += DIGITS[data[i] >> 4];
    text += DIGITS[data[i] & 0xF];
  }
  return text;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The tag as it stands in a record, in the upper-case hex we write.
const std::string& tag_text() {
  static const std::string text = hex_bytes(reinterpret_cast<const uint8_t*>(SIGNATURE_TAG), TAG_BYTES);
  return text;
}

// `line` without its line end.
size_t content_length(const char* line, size_t length) {
  if (length > 0 && line[length - 1] == '\n') length--;
  if (length > 0 && line[length - 1] == '\r') length--;
  return length;
}

// Whether the line at `line` of `text` is a record of one of `kinds`
// ("123": a data record).
bool record_of(const std::string& text, size_t line, const char* kinds) {
  return line + 1 < text.size() && text[line] == 'S' && text[line + 1] != '\0' && strchr(kinds, text[line + 1]);
}

size_t next_line(const std::string& text, size_t line) {
  const size_t end = text.find('\n', line);
  return end == std::string::npos ? text.size() : end + 1;
}

}  // namespace

std::string signature_records(const std::string& text, const std::string& line_end) {
  std::string records;
  for (size_t offset = 0; offset < text.size(); offset += SIGNATURE_BYTES_PER_RECORD) {
    std::vector<uint8_t> fields = {0, 0, 0};  // count, address
    fields.insert(fields.end(), SIGNATURE_TAG, SIGNATURE_TAG + TAG_BYTES);
    const size_t chunk = std::min(SIGNATURE_BYTES_PER_RECORD, text.size() - offset);
    fields.insert(fields.end(), text.begin() + offset, text.begin() + offset + chunk);
    fields[0] = static_cast<uint8_t>(fields.size());  // address, data and the checksum to come
    unsigned sum = 0;
    for (uint8_t field : fields) sum += field;
    fields.push_back(static_cast<uint8_t>(~sum));
    records += "S0" + hex_bytes(fields.data(), fields.size()) + line_end;
  }
  return records;
}

bool is_signature_record(const char* line, size_t length) {
  return length >= S0_DATA_POS + tag_text().size() && line[0] == 'S' && line[1] == '0' &&
         memcmp(line + S0_DATA_POS, tag_text().data(), tag_text().size()) == 0;
}

std::string with_signature_records(const std::string& file, const std::string& text) {
  size_t at = 0;
  while (at < file.size() && !record_of(file, at, "123789")) at = next_line(file, at);
  const size_t first_end = file.find('\n');
  const bool crlf = first_end != std::string::npos && first_end > 0 && file[first_end - 1] == '\r';
  return file.substr(0, at) + signature_records(text, crlf ? "\r\n" : "\n") + file.substr(at);
}

std::string without_signature_records(const std::string& file, bool* removed) {
  std::string original;
  bool header = true;
  *removed = false;
  for (size_t line = 0; line < file.size();) {
    const size_t next = next_line(file, line);
    header = header && !record_of(file, line, "123");
    if (header && is_signature_record(file.data() + line, next - line)) {
      *removed = true;
    } else {
      original.append(file, line, next - line);
    }
    line = next;
  }
  return original;
}

signed_image_reader::signed_image_reader() {
  crypto_generichash_init(&hash_, nullptr, 0, PREHASH_BYTES);
}

void signed_image_reader::read(const char* bytes, size_t length) {
  const bool starts_line = line_start_;
  const bool whole_line = length > 0 && bytes[length - 1] == '\n';
  line_start_ = whole_line;
  if (!starts_line) {
    // The rest of a line longer than one piece.
    if (!skipping_) crypto_generichash_update(&hash_, reinterpret_cast<const unsigned char*>(bytes), length);
    return;
  }
  skipping_ = false;
  if (length >= 2 && bytes[0] == 'S' && (bytes[1] == '1' || bytes[1] == '2' || bytes[1] == '3'))
    data_seen_ = true;
  if (!data_seen_ && is_signature_record(bytes, length)) {
    skipping_ = !whole_line;
    if (!whole_line && damage_.empty()) damage_ = "a signature record does not end within its line";
    read_signature_record(bytes, length);
    return;
  }
  crypto_generichash_update(&hash_, reinterpret_cast<const unsigned char*>(bytes), length);
}

void signed_image_reader::read_signature_record(const char* line, size_t length) {
  records_++;
  if (!damage_.empty()) return;
  const std::string which = "signature record " + std::to_string(records_);
  const size_t digits = content_length(line, length) - 2;  // after "S0"
  std::vector<uint8_t> fields;
  for (size_t i = 0; i < digits; i += 2) {
    const int high = hex_digit(line[2 + i]), low = i + 1 < digits ? hex_digit(line[3 + i]) : -1;
    if (high < 0 || low < 0) {
      damage_ = which + " is not hexadecimal";
      return;
    }
    fields.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  unsigned sum = 0;
  for (size_t i = 0; i + 1 < fields.size(); i++) sum += fields[i];
  if (fields.size() < 3 + TAG_BYTES + 1 || fields[0] != fields.size() - 1 ||
      fields.back() != static_cast<uint8_t>(~sum)) {
    damage_ = which + " has a wrong count or checksum";
    return;
  }
  const size_t data = 3 + TAG_BYTES;
  if (text_.size() + fields.size() - 1 - data > SIGNATURE_TEXT_MAX) {
    damage_ = "the signature records hold more than " + std::to_string(SIGNATURE_TEXT_MAX) + " bytes";
    return;
  }
  text_.append(fields.begin() + data, fields.end() - 1);
}

void signed_image_reader::prehash(uint8_t (&hash)[PREHASH_BYTES]) const {
  crypto_generichash_state copy = hash_;
  crypto_generichash_final(&copy, hash, PREHASH_BYTES);
}
