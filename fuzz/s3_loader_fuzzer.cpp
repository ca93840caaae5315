// The firmware file's S3 loader, into a blank 2 MiB image each time.
#include <cstring>
#include <vector>

#include "flashing/s19_loader.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  silence_stdout();
  static std::vector<uint32_t> image(FLASH_IMAGE_WORDS);
  memset(image.data(), 0xFF, image.size() * sizeof image[0]);
  FILE* in = open_bytes(data, size);
  if (in == nullptr) return 0;
  image_above_64k = 0;
  uint32_t beyond = 0;
  const int result = load_s19_image(image.data(), in, &beyond);
  if (result != S19_LOADED && result != S19_BAD_FILE &&
      !(result == S19_OUT_OF_RANGE && beyond >= FLASH_IMAGE_WORDS))
    __builtin_trap();
  fclose(in);
  return 0;
}
