// Signatures inside S-record files and the files of keys and signatures:
// the input is read as an image by the loader with the signature reader
// watching, as a trusted-keys file and as a .minisig text. Nothing read
// this way may pass the check, and the signature records of any text must
// give that text back.
#include <cstring>
#include <string>
#include <vector>

#include "flashing/s19_loader.h"
#include "fuzz/fuzz_support.h"
#include "signing/image_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  silence_stdout();
  const std::string text(reinterpret_cast<const char*>(data), size);

  std::vector<public_key> keys;
  if (parse_public_keys(text, &keys).empty()) {
    for (const public_key& key : keys)
      if (key_id_text(key.id).size() > 2 * KEY_ID_BYTES) __builtin_trap();
  }
  minisign_signature signature;
  if (parse_signature(text, &signature).empty() && signature.trusted_comment.size() > TRUSTED_COMMENT_MAX)
    __builtin_trap();

  // What the loader stores is not this target's business: one image for all runs.
  static std::vector<uint32_t> image(FLASH_IMAGE_WORDS);
  signed_image_reader reader;
  FILE* in = open_bytes(data, size);
  load_s19_image(image.data(), in, nullptr, &reader);
  fclose(in);
  if (reader.signature_text().size() > SIGNATURE_TEXT_MAX) __builtin_trap();
  if (!reader.carries_signature() && (!reader.damage().empty() || !reader.signature_text().empty()))
    __builtin_trap();
  // Forging an Ed25519 signature is not what a fuzzer finds.
  if (check_signature(reader, keys).verdict == signature_verdict::good) __builtin_trap();

  // The input as a signature's text, cut into records and read back.
  if (size <= SIGNATURE_TEXT_MAX && size > 0) {
    const std::string records = signature_records(text, data[0] & 1 ? "\r\n" : "\n") + "S9030000FC\n\n";
    signed_image_reader back;
    FILE* file = fmemopen(const_cast<char*>(records.data()), records.size(), "r");
    load_s19_image(image.data(), file, nullptr, &back);
    fclose(file);
    if (!back.damage().empty() || back.signature_text() != text) __builtin_trap();
  }
  return 0;
}
