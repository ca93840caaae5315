// The microcontroller's S1 file reader. It reads by path, so each input is
// written to this process's one temporary file first.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/exception.h"
#include "fuzz/fuzz_support.h"
#include "serial/vorn_serial.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  silence_stdout();
  static char path[] = "/tmp/x3-s1-fuzz-XXXXXX";
  static const int fd = mkstemp(path);
  static const int removed_at_exit = atexit([] { unlink(path); });
  (void)removed_at_exit;
  if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size)) abort();

  static Vorn_Serial serial("127.0.0.1", 8, 1);  // contacts nothing here
  static std::vector<uint32_t> image(VORN_IMAGE_WORDS);
  memset(image.data(), 0xFF, image.size() * sizeof image[0]);  // every word VORN_NO_DATA
  try {
    serial.read_9s08_s19(image.data(), path);
  } catch (const exception_t&) {
    // A bad or unterminated file.
  }
  // The buffer holds nothing but bytes and the no-data mark.
  for (uint32_t word : image) {
    if (word != VORN_NO_DATA && word > 0xFF) __builtin_trap();
  }
  return 0;
}
