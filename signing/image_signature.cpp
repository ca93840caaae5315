#include "signing/image_signature.h"

#include <sodium.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/whole_file.h"

const char* trusted_keys_path() {
  const char* named = getenv(TRUSTED_KEYS_VARIABLE);
  return named && *named ? named : TRUSTED_KEYS_DEFAULT;
}

bool signatures_required() {
  const char* named = getenv(TRUSTED_KEYS_VARIABLE);
  if (named && *named) return true;
  struct stat status;
  // Anything but a file that is plainly not there (a directory that cannot
  // be searched, say) counts as a file that cannot be read.
  return stat(TRUSTED_KEYS_DEFAULT, &status) == 0 || (errno != ENOENT && errno != ENOTDIR);
}

std::string read_trusted_keys(const char* path, std::vector<public_key>* keys) {
  std::vector<uint8_t> content;
  switch (read_whole_file(path, TRUSTED_KEYS_MAX_BYTES, &content)) {
    case whole_file_status::read: break;
    case whole_file_status::cannot_open: return std::string("cannot open it: ") + strerror(errno);
    case whole_file_status::cannot_read: return std::string("cannot read it: ") + strerror(errno);
    case whole_file_status::too_large:
      return "it is larger than " + std::to_string(TRUSTED_KEYS_MAX_BYTES) + " bytes";
  }
  const std::string error = parse_public_keys(std::string(content.begin(), content.end()), keys);
  if (!error.empty()) return error;
  if (keys->empty()) return "it holds no public key";
  return "";
}

signature_check check_signature(const signed_image_reader& image, const std::vector<public_key>& keys) {
  signature_check check;
  auto verdict = [&](signature_verdict v, const std::string& detail) {
    check.verdict = v;
    check.detail = detail;
    return check;
  };
  if (!image.carries_signature()) return verdict(signature_verdict::unsigned_image, "the image carries no signature");
  if (!image.damage().empty()) return verdict(signature_verdict::damaged, image.damage());
  minisign_signature signature;
  const std::string error = parse_signature(image.signature_text(), &signature);
  if (!error.empty()) return verdict(signature_verdict::damaged, "the signature cannot be read: " + error);
  check.signature_read = true;
  check.id = signature.id;
  check.trusted_comment = signature.trusted_comment;
  if (!signature.prehashed)
    return verdict(signature_verdict::damaged,
                   "the signature is of the kind that signs the bytes themselves; sign with a "
                   "prehashed signature (minisign 0.10 or later does by default)");
  if (sodium_init() < 0) return verdict(signature_verdict::no_keys, "the signature library cannot start");
  uint8_t hash[PREHASH_BYTES];
  image.prehash(hash);
  bool known = false;
  for (const public_key& key : keys) {
    if (memcmp(key.id.bytes, signature.id.bytes, KEY_ID_BYTES) != 0) continue;
    known = true;
    if (crypto_sign_verify_detached(signature.signature, hash, sizeof hash, key.key) != 0) continue;
    std::string global(reinterpret_cast<const char*>(signature.signature), SIGNATURE_BYTES);
    global += signature.trusted_comment;
    if (crypto_sign_verify_detached(signature.global_signature,
                                    reinterpret_cast<const unsigned char*>(global.data()), global.size(),
                                    key.key) != 0)
      return verdict(signature_verdict::comment_altered,
                     "the trusted comment \"" + signature.trusted_comment +
                         "\" does not match its signature by key " + key_id_text(signature.id));
    return verdict(signature_verdict::good, "signature good, key " + key_id_text(signature.id));
  }
  if (!known)
    return verdict(signature_verdict::untrusted_key,
                   "signed by key " + key_id_text(signature.id) + ", which is not a trusted key");
  return verdict(signature_verdict::image_altered,
                 "the signature by key " + key_id_text(signature.id) + " does not match the image");
}

signature_check check_against_trusted_keys(const signed_image_reader& image) {
  std::vector<public_key> keys;
  const std::string error = read_trusted_keys(trusted_keys_path(), &keys);
  if (!error.empty()) {
    signature_check check;
    check.detail = std::string("trusted keys ") + trusted_keys_path() + ": " + error;
    return check;
  }
  return check_signature(image, keys);
}

std::string refusal_line(const signature_check& check) {
  switch (check.verdict) {
    case signature_verdict::good: return "";
    case signature_verdict::no_keys:
      return "Refused: the switch's trusted-keys file cannot be read or holds no key, so no image is accepted.";
    case signature_verdict::unsigned_image:
      return "Refused: the image is not signed, and this switch accepts signed images only.";
    case signature_verdict::damaged: return "Refused: the image's signature cannot be read.";
    case signature_verdict::untrusted_key:
      return "Refused: the image is signed by key " + key_id_text(check.id) +
             ", which this switch does not trust.";
    case signature_verdict::image_altered: return "Refused: the signature does not match the image.";
    case signature_verdict::comment_altered:
      return "Refused: the signature's trusted comment was altered.";
  }
  return "Refused: the image's signature cannot be checked.";
}
