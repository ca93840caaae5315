#include "signing/minisign_format.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>

namespace {

const char KEY_ALGORITHM[] = "Ed";
const char PREHASHED_ALGORITHM[] = "ED";
const size_t ALGORITHM_BYTES = 2;
const size_t PUBLIC_KEY_FIELD = ALGORITHM_BYTES + KEY_ID_BYTES + PUBLIC_KEY_BYTES;
const size_t SIGNATURE_FIELD = ALGORITHM_BYTES + KEY_ID_BYTES + SIGNATURE_BYTES;

bool starts_with(const std::string& text, const char* prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

}  // namespace

std::string key_id_text(const key_id& id) {
  static const char DIGITS[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = KEY_ID_BYTES; i-- > 0;) {
    text += DIGITS[id.bytes[i] >> 4];
    text += DIGITS[id.bytes[i] & 0xF];
  }
  // Without leading zeros, as minisign shows it.
  return text.substr(std::min(text.find_first_not_of('0'), text.size() - 1));
}

std::vector<std::string> text_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

bool decode_base64(const std::string& text, uint8_t* out, size_t size) {
  size_t decoded = 0;
  const char* end = nullptr;
  return sodium_base642bin(out, size, text.data(), text.size(), nullptr, &decoded, &end,
                           sodium_base64_VARIANT_ORIGINAL) == 0 &&
         end == text.data() + text.size() && decoded == size;
}

std::string encode_base64(const uint8_t* data, size_t size) {
  std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(&text[0], text.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
  text.pop_back();  // the terminating NUL
  return text;
}

std::string parse_public_keys(const std::string& text, std::vector<public_key>* keys) {
  keys->clear();
  const std::vector<std::string> lines = text_lines(text);
  for (size_t n = 0; n < lines.size(); n++) {
    const std::string& line = lines[n];
    if (line.empty() || starts_with(line, UNTRUSTED_COMMENT_PREFIX)) continue;
    uint8_t field[PUBLIC_KEY_FIELD];
    if (!decode_base64(line, field, sizeof field) || memcmp(field, KEY_ALGORITHM, ALGORITHM_BYTES) != 0)
      return "line " + std::to_string(n + 1) + " is neither a comment nor a minisign public key";
    public_key key;
    memcpy(key.id.bytes, field + ALGORITHM_BYTES, KEY_ID_BYTES);
    memcpy(key.key, field + ALGORITHM_BYTES + KEY_ID_BYTES, PUBLIC_KEY_BYTES);
    keys->push_back(key);
  }
  return "";
}

std::string parse_signature(const std::string& text, minisign_signature* signature) {
  const std::vector<std::string> lines = text_lines(text);
  if (lines.size() != 4) return "a signature has 4 lines, this one " + std::to_string(lines.size());
  if (!starts_with(lines[0], UNTRUSTED_COMMENT_PREFIX) ||
      lines[0].size() > strlen(UNTRUSTED_COMMENT_PREFIX) + UNTRUSTED_COMMENT_MAX)
    return "line 1 is not an untrusted comment";
  uint8_t field[SIGNATURE_FIELD];
  if (!decode_base64(lines[1], field, sizeof field)) return "line 2 is not a minisign signature";
  const bool prehashed = memcmp(field, PREHASHED_ALGORITHM, ALGORITHM_BYTES) == 0;
  if (!prehashed && memcmp(field, KEY_ALGORITHM, ALGORITHM_BYTES) != 0)
    return "line 2 names an unknown signature algorithm";
  if (!starts_with(lines[2], TRUSTED_COMMENT_PREFIX)) return "line 3 is not a trusted comment";
  const std::string comment = lines[2].substr(strlen(TRUSTED_COMMENT_PREFIX));
  const std::string comment_error = check_trusted_comment(comment);
  if (!comment_error.empty()) return comment_error;
  if (!decode_base64(lines[3], signature->global_signature, SIGNATURE_BYTES))
    return "line 4 is not a signature of the trusted comment";
  signature->prehashed = prehashed;
  memcpy(signature->id.bytes, field + ALGORITHM_BYTES, KEY_ID_BYTES);
  memcpy(signature->signature, field + ALGORITHM_BYTES + KEY_ID_BYTES, SIGNATURE_BYTES);
  signature->trusted_comment = comment;
  return "";
}

std::string format_signature(const minisign_signature& signature, const std::string& untrusted_comment) {
  uint8_t field[SIGNATURE_FIELD];
  memcpy(field, signature.prehashed ? PREHASHED_ALGORITHM : KEY_ALGORITHM, ALGORITHM_BYTES);
  memcpy(field + ALGORITHM_BYTES, signature.id.bytes, KEY_ID_BYTES);
  memcpy(field + ALGORITHM_BYTES + KEY_ID_BYTES, signature.signature, SIGNATURE_BYTES);
  return UNTRUSTED_COMMENT_PREFIX + untrusted_comment + "\n" + encode_base64(field, sizeof field) + "\n" +
         TRUSTED_COMMENT_PREFIX + signature.trusted_comment + "\n" +
         encode_base64(signature.global_signature, SIGNATURE_BYTES) + "\n";
}

std::string check_trusted_comment(const std::string& comment) {
  if (comment.size() > TRUSTED_COMMENT_MAX)
    return "the trusted comment is longer than " + std::to_string(TRUSTED_COMMENT_MAX) + " bytes";
  if (comment.find_first_of("\r\n") != std::string::npos) return "the trusted comment is not one line";
  if (comment.find('\0') != std::string::npos) return "the trusted comment holds a zero byte";
  return "";
}
