#include "flashing/s19_loader.h"

#include <cstring>

#include "flashing/hex_field.h"

int image_above_64k = 0;

namespace {

// fgets keeps at most 511 characters of a line plus the terminating NUL.
const int LINE_SIZE = 512;

// S3 record layout, by character position in the line:
//   0  "S3"
//   2  count, 2 digits: bytes that follow (4 address, the data, 1 checksum)
//   4  address of the first data byte, 8 digits, most significant first
//   12 count - 5 data bytes, 2 digits each
//   then the checksum, 2 digits: the low byte of count + address bytes +
//   data bytes, inverted.
const size_t COUNT_POS = 2;
const size_t ADDRESS_POS = 4;
const size_t DATA_POS = 12;
const uint32_t RECORD_OVERHEAD = 5;  // address bytes and checksum byte

// Refuses a record with its line as read; the line still holds its own line
// end, so a blank line follows the message.
int bad_record(const char* line) {
  printf("Checksum error on line:\n%s\n", line);
  return S19_BAD_FILE;
}

// Reads the hex field at `pos` of a line of `length` characters.
// The line buffer is reused from line to line, so the bytes after this
// line's NUL may be left over from a longer line before it: a field that
// starts at or beyond the end of the line is never looked at and counts as
// not parseable.
bool parse_field(const char* line, size_t length, uint64_t pos, int width, uint32_t* value) {
  if (pos >= length) return false;
  return parse_hex_field(line + pos, width, value);
}

// Processes one S3 record whose line lies wholly in `line`. Returns
// S19_LOADED, S19_BAD_FILE after its message, or S19_OUT_OF_RANGE.
int load_s3_record(const char* line, uint32_t* image, uint32_t* beyond) {
  const size_t length = strlen(line);

  uint32_t count = 0xFFFFFFFF;
  parse_field(line, length, COUNT_POS, 2, &count);
  if (count == 0xFFFFFFFF) {
    printf("Error with length field\n");
    return S19_BAD_FILE;
  }

  // Without an address there is nowhere to put the data: the record is
  // refused as a bad record, before anything is stored.
  uint32_t address;
  if (!parse_field(line, length, ADDRESS_POS, 8, &address)) return bad_record(line);

  uint32_t sum = count + (address >> 24) + ((address >> 16) & 0xFF) + ((address >> 8) & 0xFF) +
                 (address & 0xFF);

  // The count is an unsigned number as parsed, so a signed field ("-2")
  // asks for some four thousand million bytes. The loop cannot run away
  // all the same: a climbs by one per byte from an address that is at most
  // 0x7FFFF (anything higher stops at the first byte), so it leaves through
  // the range check after at most 0x80000 bytes, before a could wrap.
  const uint32_t data_bytes = count > RECORD_OVERHEAD ? count - RECORD_OVERHEAD : 0;
  for (uint32_t i = 0; i < data_bytes; ++i) {
    const uint32_t a = address + i;
    if (a >= 0x10000) image_above_64k = 1;
    if (a >= FLASH_IMAGE_WORDS) {
      if (beyond) *beyond = a;
      return S19_OUT_OF_RANGE;
    }
    // A data field that cannot be parsed leaves the word as it was, and
    // that value still enters the sum.
    parse_field(line, length, DATA_POS + 2 * uint64_t{i}, 2, &image[a]);
    sum += image[a];
  }

  // A checksum that cannot be read never matches.
  uint32_t checksum;
  const uint64_t checksum_pos = DATA_POS + 2 * uint64_t{data_bytes};
  if (!parse_field(line, length, checksum_pos, 2, &checksum) || checksum != (~sum & 0xFF))
    return bad_record(line);
  return S19_LOADED;
}

// After a piece of a line that filled the buffer: true when the line ends
// right there, with its line feed (a record of count 253 with CR LF leaves
// just the line feed for the next read) or with the end of the input.
bool line_ends_next(FILE* in) {
  const int next = getc(in);
  ungetc(next, in);  // no-op for EOF
  return next == '\n' || next == EOF;
}

// The length of the piece fgets just read into `line`, which was filled
// with line feeds before: fgets ends what it read with a NUL and leaves
// the rest as it was, so the last NUL in the buffer is the end of the
// piece, whatever zero bytes the piece itself holds.
size_t piece_length(const char* line) {
  const void* end = memrchr(line, '\0', LINE_SIZE);
  return end ? static_cast<size_t>(static_cast<const char*>(end) - line) : 0;
}

}  // namespace

int load_s19_image(uint32_t* image, FILE* in, uint32_t* beyond, s19_input_observer* observer) {
  char line[LINE_SIZE];
  bool terminated = false;
  bool line_start = true;
  for (;;) {
    // fgets puts its terminating NUL into the buffer's last byte only when
    // the piece fills the buffer; a NUL inside the line cannot hide that.
    line[LINE_SIZE - 1] = 1;
    if (observer) memset(line, '\n', LINE_SIZE);
    // A read error ends the input just as the end of the file does.
    if (fgets(line, LINE_SIZE, in) == nullptr) break;
    if (observer) observer->read(line, piece_length(line));
    const bool cut = line[LINE_SIZE - 1] == '\0' && line[LINE_SIZE - 2] != '\n';
    const bool starts_line = line_start;
    line_start = !cut;

    if (!starts_line) {
      // The rest of a line longer than the buffer.
    } else if (strncmp(line, "S3", 2) == 0) {
      if (cut && !line_ends_next(in)) return bad_record(line);
      const int result = load_s3_record(line, image, beyond);
      if (result != S19_LOADED) return result;
    } else if (strncmp(line, "S9", 2) == 0 || strncmp(line, "S7", 2) == 0) {
      // Start address and checksum of the end record are not needed.
      terminated = true;
    }
    // S0, S1, S2, S5, S8, empty lines and any other text are skipped.

    // The end of input is tested first: an end record that is the very
    // last text, with no line end after it, does not complete the file.
    if (feof(in) || ferror(in)) break;
    if (terminated) return S19_LOADED;
  }
  printf("Missing S7/S9 termination record\n");
  return S19_BAD_FILE;
}
