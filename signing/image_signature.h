// Checking an image's signature against the switch's trusted keys, the
// same way for the upgrade page and for prog_x3flash.
//
// Images must be signed when the trusted-keys file exists, or when
// $X3_TRUSTED_KEYS names one (then a missing file refuses every image, as
// an unreadable one or one without a key does: the check fails closed).
// Without a trusted-keys file nothing is checked.
#ifndef SIGNING_IMAGE_SIGNATURE_H
#define SIGNING_IMAGE_SIGNATURE_H

#include <string>
#include <vector>

#include "signing/minisign_format.h"
#include "signing/signature_records.h"

const char TRUSTED_KEYS_VARIABLE[] = "X3_TRUSTED_KEYS";
const char TRUSTED_KEYS_DEFAULT[] = "/etc/x3-flash/trusted-keys";
// A trusted-keys file holds a few keys; anything larger is not one.
const size_t TRUSTED_KEYS_MAX_BYTES = 64 * 1024;

// $X3_TRUSTED_KEYS when set and not empty, else TRUSTED_KEYS_DEFAULT.
const char* trusted_keys_path();
bool signatures_required();

// Reads the public keys of a trusted-keys file. Returns "" when it holds
// at least one key, else the reason.
std::string read_trusted_keys(const char* path, std::vector<public_key>* keys);

enum class signature_verdict {
  good,
  no_keys,          // the trusted-keys file cannot be read or holds no key
  unsigned_image,   // no signature records
  damaged,          // signature records or signature text cannot be read
  untrusted_key,    // signed by a key not in the file
  image_altered,    // the signature does not match the signed bytes
  comment_altered,  // the global signature does not match the trusted comment
};

struct signature_check {
  signature_verdict verdict = signature_verdict::no_keys;
  std::string detail;  // the reason in full, for standard error
  bool signature_read = false;  // then id and trusted_comment are the signature's
  key_id id = {};
  std::string trusted_comment;
};

// Checks what `image` read against `keys`.
signature_check check_signature(const signed_image_reader& image, const std::vector<public_key>& keys);

// The whole check of the switch: the trusted keys from trusted_keys_path(),
// then the image.
signature_check check_against_trusted_keys(const signed_image_reader& image);

// One line that says why an image was refused, for the results page.
std::string refusal_line(const signature_check& check);

#endif
