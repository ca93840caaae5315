// Fuzz target: the S3 loader of the firmware file, into a 2 MiB image that
// starts blank (every word 0xFFFFFFFF) for each input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "flashing/s19_loader.h"
#include "fuzz/fuzz_support.h"

namespace {

// "OutOfRange" ends the CGI program; here it ends only this input.
struct out_of_range_t {};
[[noreturn]] void throw_out_of_range() { throw out_of_range_t(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  silence_stdout();
  s19_out_of_range_handler = throw_out_of_range;
  static std::vector<uint32_t> image(FLASH_IMAGE_WORDS);
  memset(image.data(), 0xFF, image.size() * sizeof image[0]);

  FILE* in = open_bytes(data, size);
  if (in == nullptr) return 0;
  image_above_64k = 0;
  try {
    const int result = load_s19_image(image.data(), in);
    if (result != 0 && result != -1) __builtin_trap();
  } catch (const out_of_range_t&) {
  }
  fclose(in);
  return 0;
}
