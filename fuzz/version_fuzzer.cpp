// Fuzz target: the version stamp routines of the scan client. find_version
// runs on a copy of the input (it changes the image); get_type, get_date,
// parse_date and compare_dates run on what it found and on the input
// itself as text. Every buffer is allocated at its exact size, so a write
// or read one byte past it is caught.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "common/exception.h"
#include "fuzz/fuzz_support.h"
#include "scan/j5_scan_server.h"

namespace {

// How much of the input is taken as text.
const size_t TEXT_LIMIT = 1024;

const j5_scan_client_t& client() {
  static const j5_scan_client_t c("127.0.0.1", 6);  // contacts nothing here
  return c;
}

// Runs f; an exception_t is an expected outcome (no marker, a bad date).
template <typename F>
bool succeeds(F f) {
  try {
    f();
    return true;
  } catch (const exception_t&) {
    return false;
  }
}

// A `size`-byte heap buffer; at least one byte is allocated so the pointer
// is never null, but only `size` may be used.
std::unique_ptr<char[]> buffer_of(size_t size) { return std::make_unique<char[]>(size ? size : 1); }

void exercise_text(const char* text, int32_t small_size) {
  const j5_scan_client_t& c = client();

  auto type = buffer_of(J5_SCAN_TEXT_SIZE);
  if (succeeds([&] { c.get_type(text, type.get()); })) {
    if (strnlen(type.get(), J5_SCAN_TEXT_SIZE) >= static_cast<size_t>(J5_SCAN_TEXT_SIZE)) {
      __builtin_trap();
    }
    auto small = buffer_of(static_cast<size_t>(small_size));
    c.get_type(text, small.get(), small_size);
  }

  auto date = buffer_of(J5_SCAN_TEXT_SIZE);
  if (succeeds([&] { c.get_date(text, date.get()); })) {
    if (strnlen(date.get(), J5_SCAN_TEXT_SIZE) >= static_cast<size_t>(J5_SCAN_TEXT_SIZE)) {
      __builtin_trap();
    }
    auto small = buffer_of(static_cast<size_t>(small_size));
    c.get_date(text, small.get(), small_size);
    int32_t f[6];
    if (succeeds([&] { c.parse_date(date.get(), &f[0], &f[1], &f[2], &f[3], &f[4], &f[5]); })) {
      if (f[0] < 0 || f[0] > 12 || f[1] == 0 || f[2] == 0) __builtin_trap();
      if (c.compare_dates(date.get(), date.get()) != 0) __builtin_trap();
    }
    // The found date against the raw text: either order gives opposite answers.
    int32_t forward = 0, backward = 0;
    if (succeeds([&] { forward = c.compare_dates(date.get(), text); })) {
      backward = c.compare_dates(text, date.get());
      if (forward != -backward) __builtin_trap();
    }
  }

  int32_t f[6];
  if (succeeds([&] { c.parse_date(text, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5]); })) {
    if (c.compare_dates(text, text) != 0) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  silence_stdout();
  const int32_t small_size = size ? data[0] % 8 : 0;

  if (size > 0 && size <= (1 << 20)) {
    auto image = std::make_unique<uint8_t[]>(size);
    memcpy(image.get(), data, size);
    // Room for the longest text the routine may copy and its terminator.
    auto version = buffer_of(size + 1);
    version[0] = '\x01';
    version[1 % (size + 1)] = '\0';
    client().find_version(image.get(), static_cast<int32_t>(size), version.get());
    if (version[0] == '\x01') {
      // No marker: the text is left as it was.
      if (memmem(data, size, "Type: ", 6) != nullptr && memchr(data, 0, size) == nullptr) {
        __builtin_trap();
      }
    } else {
      if (strncmp(version.get(), "Type: ", 6) != 0) __builtin_trap();
      if (strnlen(version.get(), size + 1) > size) __builtin_trap();
      exercise_text(version.get(), small_size);
    }
  }

  const std::string text = bounded_text(data, size, TEXT_LIMIT);
  exercise_text(text.c_str(), small_size);
  return 0;
}
