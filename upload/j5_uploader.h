// Reads a multipart/form-data request body up to the uploaded file.
#ifndef UPLOAD_J5_UPLOADER_H
#define UPLOAD_J5_UPLOADER_H

#include <cstdint>
#include <cstdio>
#include <memory>

// Walks a multipart/form-data body, as a web server hands it to a CGI
// program, part by part. It collects no form values: every header line that
// begins with "Content-Disposition" goes to handle_disposition, which a
// derived class overrides to note what it needs. parse stops right after the
// header block of the first part whose headers carry the type
// "application/octet-stream", leaving the stream at the first byte of that
// part's content for the caller to read; nothing beyond that is consumed.
// Broken preconditions and a body that ends too early throw exception_t.
class j5_uploader_t {
 public:
  static constexpr int LINE_SIZE = 255;

  // Results of match.
  static constexpr int MATCH_COMPLETE = 0;  // the last byte of the pattern matched
  static constexpr int MATCH_ADVANCED = 1;  // matched, more of the pattern to come
  static constexpr int MATCH_MISMATCH = 2;  // position left as it was

  // The boundary is everything after the first "boundary=" in content_type,
  // taken as is (quotes, later parameters and blanks included).
  explicit j5_uploader_t(const char* content_type);
  virtual ~j5_uploader_t() = default;

  j5_uploader_t(const j5_uploader_t&) = delete;
  j5_uploader_t& operator=(const j5_uploader_t&) = delete;

  // Receives each "Content-Disposition" header line of the parts up to and
  // including the file part, as read: CR LF included, at most
  // LINE_SIZE - 1 characters. Does nothing here.
  virtual void handle_disposition(const char* header_line);

  // Reads `in` up to the first byte of the uploaded file's content. Throws
  // "malformed upload stream" when the stream ends (or fails) first.
  void parse(FILE* in);

  // Compares c with byte *position of pattern: on a match advances
  // *position and returns MATCH_COMPLETE once it reaches length, otherwise
  // MATCH_ADVANCED; returns MATCH_MISMATCH when c differs.
  int match(char c, const char* pattern, int32_t* position, int32_t length);

  // Clears the three match positions.
  void reset();

  // True when word equals expected as is or with its four bytes reversed.
  static bool same_word(uint32_t word, uint32_t expected);

  // "--" boundary CR LF: the line that opens a part.
  std::unique_ptr<char[]> beginning;
  // CR LF "--" boundary: the delimiter as it follows a part's content.
  // Kept alongside beginning; parse does not need it.
  std::unique_ptr<char[]> ending;
  char crlf[2];
  char line[LINE_SIZE];
  int32_t beginning_pos;
  int32_t ending_pos;
  int32_t crlf_pos;
  int32_t beginning_length;
  int32_t ending_length;

 private:
  void skip_to_next_part(FILE* in);
  bool read_headers_up_to_file_type(FILE* in);
  void skip_rest_of_header_line(FILE* in);
};

#endif
