#include "signing/minisign_signer.h"

#include <cstring>

namespace {

// "Ed" | KDF "Sc" or none | checksum "B2" | salt | opslimit | memlimit |
// key id, secret key and checksum, the last three encrypted under the key
// derived from the password.
const size_t ALGORITHM_BYTES = 2;
const size_t SALT_BYTES = 32;
const size_t CHECKSUM_BYTES = 32;  // BLAKE2b-256 of "Ed" | key id | secret key
const size_t SECRET_PART = KEY_ID_BYTES + crypto_sign_SECRETKEYBYTES + CHECKSUM_BYTES;
const size_t SECRET_KEY_FIELD = 3 * ALGORITHM_BYTES + SALT_BYTES + 8 + 8 + SECRET_PART;
const size_t SALT_POS = 3 * ALGORITHM_BYTES;
const size_t LIMITS_POS = SALT_POS + SALT_BYTES;
const size_t SECRET_POS = LIMITS_POS + 16;
const uint8_t NO_KDF[ALGORITHM_BYTES] = {0, 0};
// minisign derives with scrypt at these costs; a file asking for more is
// not one of its keys, and would only tie up the machine.
const uint64_t MAX_OPSLIMIT = 33554432;
const uint64_t MAX_MEMLIMIT = 1073741824;

#ifndef SODIUM_LIBRARY_MINIMAL
uint64_t little_endian(const uint8_t* bytes) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; i--) value = value << 8 | bytes[i];
  return value;
}
#endif

// The key file's base64 line, decoded; false when there is none.
bool key_field(const std::string& text, uint8_t (&field)[SECRET_KEY_FIELD]) {
  const std::vector<std::string> lines = text_lines(text);
  return lines.size() == 2 && lines[0].compare(0, strlen(UNTRUSTED_COMMENT_PREFIX), UNTRUSTED_COMMENT_PREFIX) == 0 &&
         decode_base64(lines[1], field, sizeof field) && memcmp(field, "Ed", 2) == 0 &&
         memcmp(field + 2 * ALGORITHM_BYTES, "B2", 2) == 0;
}

}  // namespace

bool secret_key_encrypted(const std::string& text) {
  uint8_t field[SECRET_KEY_FIELD];
  return key_field(text, field) && memcmp(field + ALGORITHM_BYTES, NO_KDF, ALGORITHM_BYTES) != 0;
}

std::string parse_secret_key(const std::string& text, const std::string& password, secret_key* key) {
  if (sodium_init() < 0) return "the signature library cannot start";
  uint8_t field[SECRET_KEY_FIELD];
  if (!key_field(text, field)) return "it is not a minisign secret key";
  uint8_t* secret = field + SECRET_POS;
  if (memcmp(field + ALGORITHM_BYTES, NO_KDF, ALGORITHM_BYTES) != 0) {
    if (memcmp(field + ALGORITHM_BYTES, "Sc", 2) != 0) return "it is protected in a way minisign does not know";
#ifdef SODIUM_LIBRARY_MINIMAL
    (void)password;
    return "it is protected by a password, and this build's signature library has no scrypt to open it";
#else
    const uint64_t opslimit = little_endian(field + LIMITS_POS), memlimit = little_endian(field + LIMITS_POS + 8);
    if (opslimit > MAX_OPSLIMIT || memlimit > MAX_MEMLIMIT) return "its password costs more than minisign's keys do";
    uint8_t stream[SECRET_PART];
    if (crypto_pwhash_scryptsalsa208sha256(stream, sizeof stream, password.data(), password.size(),
                                           field + SALT_POS, opslimit, static_cast<size_t>(memlimit)) != 0)
      return "cannot derive the key from the password (out of memory?)";
    for (size_t i = 0; i < SECRET_PART; i++) secret[i] ^= stream[i];
    sodium_memzero(stream, sizeof stream);
#endif
  }
  uint8_t checked[ALGORITHM_BYTES + KEY_ID_BYTES + crypto_sign_SECRETKEYBYTES];
  memcpy(checked, "Ed", ALGORITHM_BYTES);
  memcpy(checked + ALGORITHM_BYTES, secret, KEY_ID_BYTES + crypto_sign_SECRETKEYBYTES);
  uint8_t checksum[CHECKSUM_BYTES];
  crypto_generichash(checksum, sizeof checksum, checked, sizeof checked, nullptr, 0);
  // minisign leaves the checksum of a key without a password all zero.
  const uint8_t* stored = secret + KEY_ID_BYTES + crypto_sign_SECRETKEYBYTES;
  const bool encrypted = secret_key_encrypted(text);
  const bool right = sodium_memcmp(checksum, stored, CHECKSUM_BYTES) == 0 ||
                     (!encrypted && sodium_is_zero(stored, CHECKSUM_BYTES));
  if (right) {
    memcpy(key->id.bytes, secret, KEY_ID_BYTES);
    memcpy(key->key, secret + KEY_ID_BYTES, crypto_sign_SECRETKEYBYTES);
  }
  sodium_memzero(checked, sizeof checked);
  sodium_memzero(field, sizeof field);
  if (!right) return encrypted ? "wrong password" : "its checksum is wrong: the file is damaged";
  return "";
}

std::string sign_prehashed(const secret_key& key, const uint8_t (&hash)[PREHASH_BYTES],
                           const std::string& trusted_comment) {
  minisign_signature signature;
  signature.prehashed = true;
  signature.id = key.id;
  signature.trusted_comment = trusted_comment;
  crypto_sign_detached(signature.signature, nullptr, hash, PREHASH_BYTES, key.key);
  std::string global(reinterpret_cast<const char*>(signature.signature), SIGNATURE_BYTES);
  global += trusted_comment;
  crypto_sign_detached(signature.global_signature, nullptr,
                       reinterpret_cast<const unsigned char*>(global.data()), global.size(), key.key);
  return format_signature(signature, "signature from x3image");
}
