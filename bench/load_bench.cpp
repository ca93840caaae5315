// Loads an S-record file from standard input into a blank flash image, as
// the upgrade tool does, so that the loader can be timed as a whole
// process. Exit status 0 when the file loaded, 1 otherwise.
//
// With --dump, the loaded image is then written to standard output as
// binary, one byte per word (its low 8 bits), from offset 0 to the last
// word holding data, so that it can be compared with the original file.
#include <cstdio>
#include <cstring>
#include <vector>

#include "flashing/s19_loader.h"

int main(int argc, char** argv) {
  const bool dump = argc > 1 && strcmp(argv[1], "--dump") == 0;

  std::vector<uint32_t> image(FLASH_IMAGE_WORDS, NO_DATA);
  const int result = load_s19_image(image.data());
  if (dump && result == 0) {
    size_t end = FLASH_IMAGE_WORDS;
    while (end > 0 && image[end - 1] == NO_DATA) --end;
    std::vector<unsigned char> bytes(image.begin(), image.begin() + end);
    if (fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) return 1;
  }
  return result == S19_LOADED ? 0 : 1;
}
