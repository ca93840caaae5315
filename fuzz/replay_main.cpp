// Runs a fuzz target once on each file named, without libFuzzer: the seed
// corpus replay tests of every build. A fault ends the process as it would
// while fuzzing; no file at all is a usage error, so a lost corpus fails.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s INPUT...\n", argv[0]);
    return 2;
  }
  for (int k = 1; k < argc; k++) {
    std::ifstream file(argv[k], std::ios::binary);
    std::vector<uint8_t> input((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file) {
      fprintf(stderr, "%s: cannot read\n", argv[k]);
      return 1;
    }
    input.shrink_to_fit();  // exactly its size, as libFuzzer passes it
    fprintf(stderr, "replaying %s (%zu bytes)\n", argv[k], input.size());
    LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
  }
  return 0;
}
