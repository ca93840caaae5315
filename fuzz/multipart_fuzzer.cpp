// The upgrade form's upload reader. The input's first line is the
// CONTENT_TYPE, the rest the request body.
#include <cstring>
#include <string>

#include "common/exception.h"
#include "fuzz/fuzz_support.h"
#include "upload/uploader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t* newline = static_cast<const uint8_t*>(memchr(data, '\n', size));
  const size_t type_length = newline ? static_cast<size_t>(newline - data) : size;
  const std::string content_type(reinterpret_cast<const char*>(data), type_length);
  const size_t body_start = newline ? type_length + 1 : size;
  FILE* in = open_bytes(data + body_start, size - body_start);
  if (in == nullptr) return 0;
  try {
    uploader_t reader(content_type.c_str());
    reader.parse(in);
    // Every slot flag is 0 or 1, and the match state is back at its start.
    for (int32_t flag : reader.selected) {
      if (flag != 0 && flag != 1) __builtin_trap();
    }
    if (reader.beginning_pos != 0 || reader.ending_pos != 0 || reader.crlf_pos != 0) __builtin_trap();
  } catch (const exception_t&) {
    // A bad content type or a body that ends early: the CGI's error page.
  }
  fclose(in);
  return 0;
}
