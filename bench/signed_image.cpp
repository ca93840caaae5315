#include "bench/signed_image.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "flashing/s19_loader.h"
#include "signing/signature_records.h"
#include "tests/support/firmware.h"

bool make_bench_key(bench_key* key) {
  if (sodium_init() < 0) return false;
  uint8_t public_part[crypto_sign_PUBLICKEYBYTES];
  randombytes_buf(key->secret.id.bytes, KEY_ID_BYTES);
  crypto_sign_keypair(public_part, key->secret.key);
  // "Ed" | key id | public key, as minisign -G writes it.
  uint8_t field[2 + KEY_ID_BYTES + PUBLIC_KEY_BYTES];
  memcpy(field, "Ed", 2);
  memcpy(field + 2, key->secret.id.bytes, KEY_ID_BYTES);
  memcpy(field + 2 + KEY_ID_BYTES, public_part, PUBLIC_KEY_BYTES);
  key->trusted_keys = std::string(UNTRUSTED_COMMENT_PREFIX) + "bench key " + key_id_text(key->secret.id) +
                      "\n" + encode_base64(field, sizeof field) + "\n";
  return true;
}

std::string signed_s_records(const bench_key& key, const std::string& file) {
  // The signed bytes are what the loader reads: hash them as it reads them.
  std::vector<uint32_t> image(FLASH_IMAGE_WORDS, NO_DATA);
  signed_image_reader reader;
  FILE* in = fmemopen(const_cast<char*>(file.data()), file.size(), "r");
  if (!in) return "";
  const int loaded = load_s19_image(image.data(), in, nullptr, &reader);
  fclose(in);
  if (loaded != S19_LOADED) return "";
  uint8_t hash[PREHASH_BYTES];
  reader.prehash(hash);
  const std::string signature = sign_prehashed(key.secret, hash, "bench image");

  return with_signature_records(file, signature);
}

std::string signed_full_image(const bench_key& key) {
  firmware image;
  add_random_bytes(image, 0, 0x80000, 7);
  image[0x10000] = 0xFF;
  return signed_s_records(key, s_records(image));
}
