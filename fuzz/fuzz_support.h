// What the fuzz targets share. Each target is one LLVMFuzzerTestOneInput;
// libFuzzer drives it under scripts/fuzz, replay_main.cpp runs it over the
// seed corpus in every build.
#ifndef FUZZ_FUZZ_SUPPORT_H
#define FUZZ_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The parsers report on standard output; while fuzzing that is only noise
// and time (libFuzzer reports on standard error).
inline void silence_stdout() {
  static const bool done = freopen("/dev/null", "w", stdout) != nullptr;
  (void)done;
}

// A read-only stream over the input; also for an empty one, which fmemopen refuses.
inline FILE* open_bytes(const uint8_t* data, size_t size) {
  if (size == 0) return fopen("/dev/null", "r");
  return fmemopen(const_cast<uint8_t*>(data), size, "r");
}

#endif
