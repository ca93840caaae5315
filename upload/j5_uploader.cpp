#include "upload/j5_uploader.h"

#include <cstring>
#include <new>

#include "common/exception.h"

namespace {

const char SOURCE[] = "j5_uploader";

const char BOUNDARY_PARAMETER[] = "boundary=";
const char DISPOSITION_HEADER[] = "Content-Disposition";
const char FILE_TYPE[] = "application/octet-stream";

[[noreturn]] void throw_malformed() { throw exception_t("malformed upload stream"); }

// One byte of the body. End of input and a read error both mean the body
// stopped before the file content was reached. The EOF test comes before
// the conversion, so a 0xFF byte is ordinary data.
char read_body_char(FILE* in) {
  const int c = fgetc(in);
  if (c == EOF) throw_malformed();
  return static_cast<char>(c);
}

}  // namespace

j5_uploader_t::j5_uploader_t(const char* content_type)
    : crlf{'\r', '\n'}, line{}, beginning_pos(0), ending_pos(0), crlf_pos(0) {
  require(content_type != nullptr && *content_type != '\0', SOURCE, 33,
          "this && content_type && *content_type");
  const char* parameter = std::strstr(content_type, BOUNDARY_PARAMETER);
  require(parameter != nullptr, SOURCE, 36, "boundary");

  const char* boundary = parameter + std::strlen(BOUNDARY_PARAMETER);
  const int32_t boundary_length = static_cast<int32_t>(std::strlen(boundary));
  beginning_length = boundary_length + 4;
  ending_length = boundary_length + 4;
  beginning.reset(new (std::nothrow) char[beginning_length]);
  ending.reset(new (std::nothrow) char[ending_length]);
  require(beginning && ending, SOURCE, 48, "beginning && ending");

  // A part opens with a line of its own: "--" boundary CR LF. The same
  // delimiter closes a part's content as CR LF "--" boundary, the CR LF
  // belonging to the delimiter rather than to the content.
  std::memcpy(beginning.get(), "--", 2);
  std::memcpy(beginning.get() + 2, boundary, boundary_length);
  std::memcpy(beginning.get() + 2 + boundary_length, crlf, 2);
  std::memcpy(ending.get(), crlf, 2);
  std::memcpy(ending.get() + 2, "--", 2);
  std::memcpy(ending.get() + 4, boundary, boundary_length);
}

void j5_uploader_t::handle_disposition(const char*) {}

int j5_uploader_t::match(char c, const char* pattern, int32_t* position, int32_t length) {
  require(pattern != nullptr && position != nullptr && *position < length, SOURCE, 10,
          "this && s && p && *p < length");
  if (c != pattern[*position]) return MATCH_MISMATCH;
  ++*position;
  return *position == length ? MATCH_COMPLETE : MATCH_ADVANCED;
}

void j5_uploader_t::reset() {
  beginning_pos = 0;
  ending_pos = 0;
  crlf_pos = 0;
}

bool j5_uploader_t::same_word(uint32_t word, uint32_t expected) {
  const uint32_t reversed = (word >> 24) | ((word >> 8) & 0x0000FF00u) |
                            ((word << 8) & 0x00FF0000u) | (word << 24);
  return word == expected || reversed == expected;
}

void j5_uploader_t::parse(FILE* in) {
  require(in != nullptr, SOURCE, 79, "this && in");
  reset();
  do {
    skip_to_next_part(in);
  } while (!read_headers_up_to_file_type(in));
  skip_rest_of_header_line(in);
  reset();
}

// Consumes bytes up to and including the next "--" boundary CR LF line.
// Whatever precedes it (the preamble, or the content of a part of no
// interest) is dropped. The closing delimiter, "--" boundary "--", never
// matches. A byte that breaks a partial match is not tried again as the
// start of the delimiter.
void j5_uploader_t::skip_to_next_part(FILE* in) {
  for (;;) {
    const int result = match(read_body_char(in), beginning.get(), &beginning_pos, beginning_length);
    if (result == MATCH_COMPLETE) return;
    if (result == MATCH_MISMATCH) reset();
  }
}

// Reads the header lines of the part just opened. Returns true once a line
// names the type "application/octet-stream" (the uploaded file); returns
// false at the first other line that is not a Content-Disposition header,
// normally the empty line that ends the block, so the caller skips this
// part's content. Lines longer than LINE_SIZE - 1 are read in pieces and
// each piece is judged alone.
bool j5_uploader_t::read_headers_up_to_file_type(FILE* in) {
  for (;;) {
    if (std::fgets(line, LINE_SIZE, in) == nullptr) throw_malformed();
    if (std::strncmp(line, DISPOSITION_HEADER, std::strlen(DISPOSITION_HEADER)) == 0) {
      // A file name may spell the type; the marker never counts here.
      handle_disposition(line);
      continue;
    }
    if (std::strstr(line, FILE_TYPE) != nullptr) return true;
    reset();
    return false;
  }
}

// Browsers end the file part's headers with its Content-Type line, so the
// next CR LF is the empty line before the file content.
void j5_uploader_t::skip_rest_of_header_line(FILE* in) {
  for (;;) {
    const int result = match(read_body_char(in), crlf, &crlf_pos, 2);
    if (result == MATCH_COMPLETE) return;
    if (result == MATCH_MISMATCH) reset();
  }
}
