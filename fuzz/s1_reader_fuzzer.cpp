// Fuzz target: the microcontroller's S1 file reader. It reads by path, so
// each input is written to one temporary file of this process first.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/exception.h"
#include "fuzz/fuzz_support.h"
#include "serial/vorn_serial.h"

namespace {

// The process's input file, in memory where the machine has /dev/shm;
// removed at exit.
struct input_file_t {
  char path[64] = "/dev/shm/x3-s1-fuzz-XXXXXX";
  int fd = open_file();
  int open_file() {
    const int f = mkstemp(path);
    if (f >= 0) return f;
    snprintf(path, sizeof path, "/tmp/x3-s1-fuzz-XXXXXX");
    return mkstemp(path);
  }
  ~input_file_t() {
    if (fd >= 0) {
      close(fd);
      unlink(path);
    }
  }
};

// The buffer holds nothing but bytes and the no-data mark.
FUZZ_NOT_COVERED void check_image(const std::vector<uint32_t>& image) {
  for (uint32_t word : image) {
    if (word != VORN_NO_DATA && word > 0xFF) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  silence_stdout();
  static input_file_t file;
  if (file.fd < 0) abort();
  if (ftruncate(file.fd, 0) != 0) abort();
  for (size_t done = 0; done < size;) {
    const ssize_t n = pwrite(file.fd, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) abort();
    done += static_cast<size_t>(n);
  }

  static Vorn_Serial serial("127.0.0.1", 8, 1);  // contacts nothing here
  static std::vector<uint32_t> image(VORN_IMAGE_WORDS);
  memset(image.data(), 0xFF, image.size() * sizeof image[0]);  // every word VORN_NO_DATA
  try {
    serial.read_9s08_s19(image.data(), file.path);
  } catch (const exception_t&) {
    // A bad or unterminated file.
  }
  check_image(image);
  return 0;
}
