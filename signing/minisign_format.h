// The text files of minisign: public keys and signatures, as `minisign -G`
// and `minisign -S` write them. Each is a comment line and a base64 line;
// a signature adds its trusted comment and the signature over that comment.
//
//   public key   "Ed" | key id (8) | Ed25519 public key (32)
//   signature    "ED" | key id (8) | Ed25519 signature (64) of the
//                BLAKE2b-512 hash of the signed bytes
//   global       Ed25519 signature (64) of signature (64) | trusted comment
//
// Parsing never trusts a length it reads: every field has a fixed size and
// every text a bound.
#ifndef SIGNING_MINISIGN_FORMAT_H
#define SIGNING_MINISIGN_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

const size_t KEY_ID_BYTES = 8;
const size_t PUBLIC_KEY_BYTES = 32;
const size_t SIGNATURE_BYTES = 64;
const size_t PREHASH_BYTES = 64;  // BLAKE2b-512 of the signed bytes
// minisign's own limits for the two comments.
const size_t UNTRUSTED_COMMENT_MAX = 1024;
const size_t TRUSTED_COMMENT_MAX = 8192;

const char UNTRUSTED_COMMENT_PREFIX[] = "untrusted comment: ";
const char TRUSTED_COMMENT_PREFIX[] = "trusted comment: ";

struct key_id {
  uint8_t bytes[KEY_ID_BYTES];
};

// The key id as minisign prints it: the id read as a little-endian number,
// in upper-case hex without leading zeros.
std::string key_id_text(const key_id& id);

struct public_key {
  key_id id;
  uint8_t key[PUBLIC_KEY_BYTES];
};

// A trusted-keys file: one or more public keys one after the other, as
// `cat old.pub new.pub` makes it. Lines are comments ("untrusted comment:
// ..."), empty, or a base64 public key; anything else makes the file
// unusable, so that a damaged file is never read as holding fewer keys.
// Returns "" and the keys (possibly none), or the reason.
std::string parse_public_keys(const std::string& text, std::vector<public_key>* keys);

struct minisign_signature {
  bool prehashed = false;  // "ED"; the older "Ed" signs the bytes themselves
  key_id id;
  uint8_t signature[SIGNATURE_BYTES];
  std::string trusted_comment;
  uint8_t global_signature[SIGNATURE_BYTES];
};

// A .minisig file: four lines, the last line end optional, CR LF allowed.
// Returns "" or the reason.
std::string parse_signature(const std::string& text, minisign_signature* signature);

// The .minisig text of `signature`, as minisign writes it.
std::string format_signature(const minisign_signature& signature, const std::string& untrusted_comment);

// The trusted comment alone is what a person may vary; it has to stay one
// line of text within minisign's bound. Returns "" or the reason.
std::string check_trusted_comment(const std::string& comment);

// Decodes standard base64 (with padding) of exactly `size` bytes.
bool decode_base64(const std::string& text, uint8_t* out, size_t size);
std::string encode_base64(const uint8_t* data, size_t size);

// Splits `text` into lines without their line ends (LF, or CR LF).
std::vector<std::string> text_lines(const std::string& text);

#endif
