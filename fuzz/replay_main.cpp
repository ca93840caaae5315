// Runs a fuzz target's entry point on every file of a directory (its seed
// corpus), without libFuzzer: the corpus replay tests of every build.
//   <target>_replay DIR
// Exit 0 when every input ran; a fault ends the process as it would while
// fuzzing (a sanitizer report or a trap). An empty or unreadable directory
// is a failure, so a lost corpus cannot pass unnoticed.
// On a 32-bit target (the PowerPC controller, under qemu-user) the host's
// 64-bit inode numbers make the plain readdir fail with EOVERFLOW.
#define _FILE_OFFSET_BITS 64

#include <dirent.h>

#include <cerrno>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool read_file(const std::string& path, std::vector<uint8_t>* contents) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  contents->clear();
  uint8_t buffer[65536];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;) {
    contents->insert(contents->end(), buffer, buffer + n);
  }
  const bool ok = !ferror(f);
  fclose(f);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s CORPUS_DIRECTORY\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  DIR* d = opendir(dir.c_str());
  if (!d) {
    perror(dir.c_str());
    return 1;
  }
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  }
  if (errno != 0) {
    perror(dir.c_str());
    return 1;
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  if (names.empty()) {
    fprintf(stderr, "%s: no inputs\n", dir.c_str());
    return 1;
  }
  std::vector<uint8_t> input;
  for (const std::string& name : names) {
    if (!read_file(dir + "/" + name, &input)) {
      fprintf(stderr, "%s/%s: cannot read\n", dir.c_str(), name.c_str());
      return 1;
    }
    fprintf(stderr, "replaying %s (%zu bytes)\n", name.c_str(), input.size());
    // The data sits in a buffer of its exact size, as libFuzzer passes it.
    std::vector<uint8_t> exact(input.begin(), input.end());
    exact.shrink_to_fit();
    LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
  }
  fprintf(stderr, "%zu inputs replayed\n", names.size());
  return 0;
}
