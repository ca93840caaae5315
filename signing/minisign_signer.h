// Signing with a minisign secret key file, as `minisign -S` does: the
// BLAKE2b-512 hash of the bytes signed with Ed25519 ("ED"), then the
// signature and the trusted comment signed together. For the control
// machine; the switch only verifies.
#ifndef SIGNING_MINISIGN_SIGNER_H
#define SIGNING_MINISIGN_SIGNER_H

#include <sodium.h>

#include <cstdint>
#include <functional>
#include <string>

#include "signing/minisign_format.h"

struct secret_key {
  key_id id;
  uint8_t key[crypto_sign_SECRETKEYBYTES];
  ~secret_key() { sodium_memzero(key, sizeof key); }
};

// Whether the key file `text` is protected by a password.
bool secret_key_encrypted(const std::string& text);

// Reads a secret key file as `minisign -G` writes it (with -W, without a
// password; else protected by one, which `password` gives). Returns "" or
// the reason (a wrong password among them).
std::string parse_secret_key(const std::string& text, const std::string& password, secret_key* key);

// The .minisig text of the prehashed signature of `hash` by `key`.
std::string sign_prehashed(const secret_key& key, const uint8_t (&hash)[PREHASH_BYTES],
                           const std::string& trusted_comment);

#endif
