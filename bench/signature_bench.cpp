// The CPU time the signature check adds to an upgrade: a full 512 KiB image
// as S3 records of 32 bytes (about 1.3 MB of text), signed, loaded from
// memory into a blank flash image as flash_x3 loads it, RUNS times each
// taking turns:
//   - without an observer, as without trusted keys;
//   - with the signed-image reader as observer, which hashes the signed
//     bytes as they pass, then the check against a trusted-keys file
//     (read each time, as flash_x3 reads it);
//   - BLAKE2b-512 of the whole text in one call, for reference.
// Prints the median CPU time per run of each and what the check adds.
//
//   signature_bench [RUNS]
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/signed_image.h"
#include "flashing/s19_loader.h"
#include "signing/image_signature.h"
#include "signing/signature_records.h"

namespace {

double cpu_now() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

// Loads `text` into `image`, blank first as flash_x3's is.
bool load(const std::string& text, std::vector<uint32_t>& image, s19_input_observer* observer) {
  std::fill(image.begin(), image.end(), NO_DATA);
  FILE* in = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  if (!in) return false;
  const int loaded = load_s19_image(image.data(), in, nullptr, observer);
  fclose(in);
  return loaded == S19_LOADED;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? atoi(argv[1]) : 20;
  if (runs < 1) {
    fprintf(stderr, "usage: signature_bench [RUNS]\n");
    return 2;
  }
  bench_key key;
  if (!make_bench_key(&key)) return 1;
  const std::string text = signed_full_image(key);
  char keys_path[] = "/tmp/signature_bench_keys_XXXXXX";
  const int fd = mkstemp(keys_path);
  if (fd < 0 || write(fd, key.trusted_keys.data(), key.trusted_keys.size()) !=
                    static_cast<ssize_t>(key.trusted_keys.size()))
    return 1;
  close(fd);
  setenv(TRUSTED_KEYS_VARIABLE, keys_path, 1);

  std::vector<uint32_t> image(FLASH_IMAGE_WORDS);
  std::vector<double> plain, hashed, checked, one_call;
  for (int i = 0; i < runs; i++) {
    double start = cpu_now();
    if (!load(text, image, nullptr)) return 1;
    plain.push_back(cpu_now() - start);

    start = cpu_now();
    signed_image_reader reader;
    if (!load(text, image, &reader)) return 1;
    const double loaded = cpu_now();
    const signature_check check = check_against_trusted_keys(reader);
    const double end = cpu_now();
    if (check.verdict != signature_verdict::good) {
      fprintf(stderr, "signature_bench: the check failed: %s\n", check.detail.c_str());
      return 1;
    }
    hashed.push_back(loaded - start);
    checked.push_back(end - loaded);

    start = cpu_now();
    uint8_t hash[PREHASH_BYTES];
    crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                       nullptr, 0);
    one_call.push_back(cpu_now() - start);
  }
  unlink(keys_path);

  const double ms = 1000;
  printf("signed full image, %zu bytes of S-records, CPU time per run, median of %d\n", text.size(), runs);
  printf("  load without observer          %8.2f ms\n", median(plain) * ms);
  printf("  load hashing the signed bytes  %8.2f ms\n", median(hashed) * ms);
  printf("  check against trusted keys     %8.2f ms\n", median(checked) * ms);
  printf("  BLAKE2b-512 of the text, alone %8.2f ms\n", median(one_call) * ms);
  printf("  added by the signature         %8.2f ms  (hashing %.2f + check %.2f)\n",
         (median(hashed) - median(plain) + median(checked)) * ms, (median(hashed) - median(plain)) * ms,
         median(checked) * ms);
  return 0;
}
