// The scan client's version stamp routines. find_version runs on a copy
// of the input (it changes the image); get_type, get_date, parse_date and
// compare_dates run on what it found and on the input itself as text.
// Every heap buffer has its exact size, so one byte past it is caught.
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "fuzz/fuzz_support.h"
#include "scan/j5_scan_client.h"
#include "tests/support/thrown.h"

namespace {

const j5_scan_client_t client("127.0.0.1", J5_SCAN_ID_FLASH_X3);  // contacts nothing here

// Whether f ran without an exception_t (no marker, a bad date).
bool succeeds(const std::function<void()>& f) { return thrown_message(f) == NOTHING_THROWN; }

void exercise_text(const char* text, int32_t small_size) {
  auto small = std::make_unique<char[]>(small_size);  // exactly small_size bytes
  char type[J5_SCAN_TEXT_SIZE], date[J5_SCAN_TEXT_SIZE];
  if (succeeds([&] { client.get_type(text, type); })) {
    if (strnlen(type, sizeof type) == sizeof type) __builtin_trap();
    client.get_type(text, small.get(), small_size);
  }
  if (!succeeds([&] { client.get_date(text, date); })) return;
  if (strnlen(date, sizeof date) == sizeof date) __builtin_trap();
  client.get_date(text, small.get(), small_size);
  int32_t f[6];
  if (succeeds([&] { client.parse_date(date, &f[0], &f[1], &f[2], &f[3], &f[4], &f[5]); }) &&
      (f[0] < 0 || f[0] > 12 || f[1] == 0 || f[2] == 0 || client.compare_dates(date, date) != 0)) {
    __builtin_trap();
  }
  // Against the text itself and a fixed date, either order gives opposite
  // answers of -1, 0 or 1.
  for (const char* other : {text, "Jun 15 2010 12:30:30"}) {
    int32_t forward = 0;
    if (succeeds([&] { forward = client.compare_dates(date, other); }) &&
        (forward < -1 || forward > 1 || client.compare_dates(other, date) != -forward)) {
      __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  silence_stdout();
  const int32_t small_size = size ? data[0] % 8 : 0;
  if (size > 0 && size <= (1 << 20)) {
    auto image = std::make_unique<uint8_t[]>(size);
    memcpy(image.get(), data, size);
    auto version = std::make_unique<char[]>(size + 1);  // the longest text it may copy, terminated
    version[0] = '\x01';
    version[1 % (size + 1)] = '\0';
    client.find_version(image.get(), static_cast<int32_t>(size), version.get());
    if (version[0] == '\x01') {
      // No marker found: the text is left as it was.
      if (memmem(data, size, "Type: ", 6) && !memchr(data, 0, size)) __builtin_trap();
    } else {
      if (strncmp(version.get(), "Type: ", 6) != 0 || strnlen(version.get(), size + 1) > size) {
        __builtin_trap();
      }
      exercise_text(version.get(), small_size);
    }
  }
  exercise_text(std::string(reinterpret_cast<const char*>(data), std::min<size_t>(size, 1024)).c_str(),
                small_size);
  return 0;
}
