#include "flashing/s19_loader.h"

#include <cstdlib>
#include <cstring>

#include "flashing/hex_field.h"

int image_above_64k = 0;

void s19_exit_out_of_range() { exit(-1); }

s19_out_of_range_fn s19_out_of_range_handler = s19_exit_out_of_range;

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

// Reads the hex field at `pos` of a line of `length` characters.
// The line buffer is reused from line to line, so the bytes after this
// line's NUL may be left over from a longer line before it: a field that
// starts at or beyond the end of the line is never looked at and counts as
// not parseable.
bool parse_field(const char* line, size_t length, uint64_t pos, int width, uint32_t* value) {
  if (pos >= length) return false;
  return parse_hex_field(line + pos, width, value);
}

// Processes one S3 record. Returns 0, or -1 after its message.
int load_s3_record(const char* line, uint32_t* image) {
  const size_t length = strlen(line);

  uint32_t count = 0xFFFFFFFF;
  parse_field(line, length, COUNT_POS, 2, &count);
  if (count == 0xFFFFFFFF) {
    printf("Error with length field\n");
    return -1;
  }

  // Without an address there is nowhere to put the data: the record is
  // refused as a bad record, before anything is stored.
  uint32_t address;
  if (!parse_field(line, length, ADDRESS_POS, 8, &address)) {
    printf("Checksum error on line:\n%s\n", line);
    return -1;
  }

  uint32_t sum = count + (address >> 24) + ((address >> 16) & 0xFF) + ((address >> 8) & 0xFF) +
                 (address & 0xFF);

  // The count is an unsigned number as parsed, so a signed field ("-2")
  // asks for some four thousand million bytes. The loop cannot run away
  // all the same: a climbs by one per byte from an address that is at most
  // 0x7FFFF (anything higher stops at the first byte), so the process ends
  // with "OutOfRange" after at most 0x80000 bytes, before a could wrap.
  const uint32_t data_bytes = count > RECORD_OVERHEAD ? count - RECORD_OVERHEAD : 0;
  for (uint32_t i = 0; i < data_bytes; ++i) {
    const uint32_t a = address + i;
    if (a >= 0x10000) image_above_64k = 1;
    if (a >= FLASH_IMAGE_WORDS) {
      printf("OutOfRange\n");
      s19_out_of_range_handler();
      exit(-1);  // only reached through a handler that returned
    }
    // A data field that cannot be parsed leaves the word as it was, and
    // that value still enters the sum.
    parse_field(line, length, DATA_POS + 2 * uint64_t{i}, 2, &image[a]);
    sum += image[a];
  }

  // A line longer than the buffer arrives in pieces: this piece then fills
  // the buffer and has no line end. The checksum of a record cut that way
  // is missing, or only its first digit is here; it must lie wholly inside
  // the piece to count. A checksum that cannot be read never matches.
  const uint64_t checksum_pos = DATA_POS + 2 * uint64_t{data_bytes};
  const bool cut = length == LINE_SIZE - 1 && line[length - 1] != '\n';
  uint32_t checksum;
  const bool checksum_read = (!cut || checksum_pos + 2 <= length) &&
                             parse_field(line, length, checksum_pos, 2, &checksum);
  if (!checksum_read || checksum != (~sum & 0xFF)) {
    printf("Checksum error on line:\n%s\n", line);
    return -1;
  }
  return 0;
}

}  // namespace

int load_s19_image(uint32_t* image, FILE* in) {
  char line[LINE_SIZE];
  bool terminated = false;
  for (;;) {
    // A read error ends the input just as the end of the file does.
    if (fgets(line, LINE_SIZE, in) == nullptr) break;

    if (strncmp(line, "S3", 2) == 0) {
      if (load_s3_record(line, image) != 0) return -1;
    } else if (strncmp(line, "S9", 2) == 0 || strncmp(line, "S7", 2) == 0) {
      // Start address and checksum of the end record are not needed.
      terminated = true;
    }
    // S0, S1, S2, S5, S8, empty lines and any other text are skipped.

    // The end of input is tested first: an end record that is the very
    // last text, with no line end after it, does not complete the file.
    if (feof(in) || ferror(in)) break;
    if (terminated) return 0;
  }
  printf("Missing S7/S9 termination record\n");
  return -1;
}
