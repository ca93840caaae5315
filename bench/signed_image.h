// A key pair made on the spot and S-record images signed by it, as
// x3image signs them: for the benchmarks that compare the upgrade with and
// without trusted keys. flash_x3 accepting the result is the check that
// the signature is right.
#ifndef BENCH_SIGNED_IMAGE_H
#define BENCH_SIGNED_IMAGE_H

#include <string>

#include "signing/minisign_signer.h"

struct bench_key {
  secret_key secret;
  std::string trusted_keys;  // a trusted-keys file holding the public key
};

// A new key pair; false when libsodium cannot start.
bool make_bench_key(bench_key* key);

// `file` (S-record text that loads) with the signature records of `key`'s
// signature before its first data record; "" when the file does not load.
std::string signed_s_records(const bench_key& key, const std::string& file);

// A full 512 KiB image of random bytes (seed 7) as S3 records, the
// generation byte at 0x10000 left erased, signed by `key`.
std::string signed_full_image(const bench_key& key);

#endif
