// Helpers shared by the fuzz targets (libFuzzer entry points, also built
// into the corpus replay programs with the normal compiler).
#ifndef FUZZ_FUZZ_SUPPORT_H
#define FUZZ_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Marks a harness function (a check over a whole buffer, say) that
// libFuzzer's coverage feedback should not see: it guides nothing and would
// cost more than the code under test.
#if defined(__clang__)
#define FUZZ_NOT_COVERED __attribute__((no_sanitize("coverage")))
#else
#define FUZZ_NOT_COVERED
#endif

// The parsers report on standard output; while fuzzing that is only noise
// and time. The first call sends standard output to /dev/null for the rest
// of the process (libFuzzer reports on standard error).
inline void silence_stdout() {
  static const bool done = freopen("/dev/null", "w", stdout) != nullptr;
  (void)done;
}

// A read-only stream over `size` bytes of `data`; also for an empty input,
// which fmemopen refuses.
inline FILE* open_bytes(const uint8_t* data, size_t size) {
  if (size == 0) return fopen("/dev/null", "r");
  return fmemopen(const_cast<uint8_t*>(data), size, "r");
}

// The first `limit` bytes of the input at most, as a NUL-terminated string
// (a NUL inside the input ends the text there).
inline std::string bounded_text(const uint8_t* data, size_t size, size_t limit) {
  const size_t n = size < limit ? size : limit;
  return std::string(reinterpret_cast<const char*>(data), n);
}

// Reads the fuzz input front to back; past its end every read gives 0.
class input_reader_t {
 public:
  input_reader_t(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  size_t remaining() const { return size_ - pos_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  int16_t int16() {
    const uint8_t hi = byte();
    return static_cast<int16_t>(static_cast<uint16_t>(hi << 8 | byte()));
  }
  uint32_t word() {
    uint32_t w = 0;
    for (int k = 0; k < 4; k++) w = w << 8 | byte();
    return w;
  }
  // Up to n bytes; returns how many were taken.
  size_t take(uint8_t* out, size_t n) {
    if (n > remaining()) n = remaining();
    for (size_t k = 0; k < n; k++) out[k] = data_[pos_ + k];
    pos_ += n;
    return n;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

#endif
