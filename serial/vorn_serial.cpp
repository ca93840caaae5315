// Vorn_Serial: the object, its control commands, the microcontroller's
// flash rows and pages, and the 9S08 image buffer with its S-record
// reader. The configuration and status records are in vorn_records.cpp.
#include "serial/vorn_serial.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/exception.h"

namespace {

const char SOURCE[] = "vorn_serial";

uint8_t high_byte(int address) { return (address >> 8) & 0xFF; }
uint8_t low_byte(int address) { return address & 0xFF; }

// The 64 bytes of the row at `row` as the image has them, 0xFF where it
// has no data. Returns whether any of them is image data.
bool image_row(const uint32_t* image, int row, uint8_t* bytes) {
  bool any = false;
  for (int k = 0; k < VORN_ROW_SIZE; k++) {
    const uint32_t word = image[row + k];
    if (word != VORN_NO_DATA) {
      bytes[k] = word & 0xFF;
      any = true;
    } else {
      bytes[k] = 0xFF;
    }
  }
  return any;
}

// S1 record, by character position in the line:
//   0  "S1"
//   2  count, 2 digits: the bytes that follow (2 address, data, 1 checksum)
//   4  address of the first data byte, 4 digits, high byte first
//   8  count - 3 data bytes, 2 digits each
//   then the checksum, 2 digits: 255 minus the low byte of count + address
//   bytes + data bytes.
const size_t COUNT_POS = 2;
const size_t ADDRESS_POS = 4;
const size_t DATA_POS = 8;
const uint32_t RECORD_OVERHEAD = 3;  // address bytes and checksum byte

// fgets hands over at most 255 characters at a time; a longer line comes
// in pieces, each taken as a line of its own.
const int LINE_SIZE = 256;

// Reads the hex field of at most `width` digits at `pos`, with sscanf's
// %x rules. Fields are only ever read from the line itself: one that
// starts at or past the line's end (the buffer may still hold a longer
// line's tail there) is unreadable.
bool read_field(const char* line, size_t length, size_t pos, int width, uint32_t* value) {
  if (pos >= length) return false;
  const char* format = width == 2 ? "%2x" : "%4x";
  unsigned int v = 0;
  if (sscanf(line + pos, format, &v) != 1) return false;
  *value = v;
  return true;
}

[[noreturn]] void reader_failure() { throw exception_t("Vorn_Serial::read_9s08_s19"); }

[[noreturn]] void checksum_failure(const char* line) {
  printf("Checksum error on line:\n%s\n", line);
  reader_failure();
}

// Stores the S1 record in `line` into `buf`.
//
// The record is trusted no further than its own line and the buffer:
// - A line with fewer characters than its count says (a damaged line, or a
//   record longer than one 255-character piece) ends as a checksum error at
//   the first field that is not there; the bytes before it stay stored.
//   An unreadable address is refused the same way, before anything is
//   stored.
// - Data bytes that would fall past 0xFFFF are checked but not stored.
// - A field with a sign ("-1") gives sscanf's unsigned value; only its low
//   8 bits are stored, so the buffer holds nothing but bytes and the
//   no-data mark.
void store_s1_record(uint32_t* buf, const char* line) {
  const size_t length = strlen(line);
  uint32_t count = 0;
  if (!read_field(line, length, COUNT_POS, 2, &count)) {
    puts("Error with length field");
    reader_failure();
  }
  uint32_t address = 0;
  if (!read_field(line, length, ADDRESS_POS, 4, &address)) checksum_failure(line);

  uint32_t sum = count + (address & 0xFF) + ((address >> 8) & 0xFF);
  const uint32_t data_bytes = count > RECORD_OVERHEAD ? count - RECORD_OVERHEAD : 0;
  size_t pos = DATA_POS;
  for (uint32_t i = 0; i < data_bytes; i++, pos += 2) {
    uint32_t byte = 0;
    if (!read_field(line, length, pos, 2, &byte)) checksum_failure(line);
    const uint64_t target = uint64_t{address} + i;
    if (target < static_cast<uint64_t>(VORN_IMAGE_WORDS)) buf[target] = byte & 0xFF;
    sum += byte;
  }
  uint32_t checksum = 0;
  if (!read_field(line, length, pos, 2, &checksum)) checksum_failure(line);
  if (checksum != 255 - (sum & 0xFF)) checksum_failure(line);
}

// Closes the image file on every way out of the reader.
class file_t {
 public:
  explicit file_t(FILE* f) : f_(f) {}
  ~file_t() {
    if (f_) fclose(f_);
  }
  file_t(const file_t&) = delete;
  file_t& operator=(const file_t&) = delete;
  FILE* get() const { return f_; }

 private:
  FILE* f_;
};

}  // namespace

Vorn_Serial::Vorn_Serial(const char* host, int32_t client_id, int card_slot)
    : j5_scan_client_t(host, client_id),
      slot(card_slot),
      not_ok(1),
      have_config(0),
      types{0, nullptr, nullptr},
      config_buf{},
      status_buf{},
      tx_buf{},
      config_strings{} {}

Vorn_Serial::~Vorn_Serial() { drop_types(); }

// One command through the common exchange. A failed exchange writes
// `failed_line` and throws; a negative reply length prints `error_format`
// with it and throws, unless `error_format` is null (the length is then
// not examined).
void Vorn_Serial::run(j5_scan_command_t* command, const char* failed_line, const char* error_format,
                      const char* thrown) {
  if (!execute(1, command)) {
    puts(failed_line);
    throw exception_t("%s", thrown);
  }
  if (error_format && command->rxcount < 0) {
    printf(error_format, command->rxcount);
    throw exception_t("%s", thrown);
  }
}

// The card restarts on its control op with 01 01 01. It may go down before
// it answers, so any reply length counts as done.
void Vorn_Serial::reboot() {
  tx_buf[0] = 0x01;
  tx_buf[1] = 0x01;
  tx_buf[2] = 0x01;
  j5_scan_command_t c = {J5_SCAN_OP_CONTROL, slot, 3, 0, tx_buf, nullptr, 0};
  run(&c, "Error rebooting card", nullptr, "Vorn_Serial::reboot");
}

void Vorn_Serial::enter_monitor() {
  j5_scan_command_t c = {J5_SCAN_OP_ENTER_MONITOR, slot, 0, 0, nullptr, nullptr, 0};
  run(&c, "Error entering monitor.", "Error entering monitor, error code %i.\n",
      "Board::enter_monitor");
}

void Vorn_Serial::leave_monitor() {
  j5_scan_command_t c = {J5_SCAN_OP_LEAVE_MONITOR, slot, 0, 0, nullptr, nullptr, 0};
  run(&c, "Error leaving monitor.", "Error leavinging monitor, error code %i.\n",
      "Board::leave_monitor");
}

// A short reply is accepted: bytes the card did not send leave `buffer` as
// it was.
void Vorn_Serial::read_row(int address, uint8_t* buffer) {
  tx_buf[0] = high_byte(address);
  tx_buf[1] = low_byte(address);
  tx_buf[2] = VORN_ROW_SIZE;
  j5_scan_command_t c = {J5_SCAN_OP_READ_ROW, slot, 3, VORN_ROW_SIZE, tx_buf, buffer, 0};
  run(&c, "Error reading page.", "Error reading page, error code %i.\n", "Vorn_Serial::read_row");
}

void Vorn_Serial::erase_page(int address) {
  tx_buf[0] = high_byte(address);
  tx_buf[1] = low_byte(address);
  j5_scan_command_t c = {J5_SCAN_OP_CARD_COMMAND, slot, 2, 0, tx_buf, nullptr, 0};
  run(&c, "Error erasing page.", "Error erasing page, error code %i.\n", "Vorn_Serial::erase_page");
}

// The count travels as one byte. A count outside 0..255 is refused before
// anything is sent, rather than sending a count byte that disagrees with
// the data that follows it.
void Vorn_Serial::program_row(int address, const uint8_t* data, int n) {
  if (n < 0 || n > 255) throw exception_t("Vorn_Serial::program_row");
  tx_buf[0] = high_byte(address);
  tx_buf[1] = low_byte(address);
  tx_buf[2] = static_cast<uint8_t>(n);
  if (n) memcpy(tx_buf + 3, data, n);
  j5_scan_command_t c = {J5_SCAN_OP_PROGRAM_ROW, slot, 3 + n, 0, tx_buf, nullptr, 0};
  run(&c, "Error programming row.", "Error programming row, error code %i.\n",
      "Vorn_Serial::program_row");
}

void Vorn_Serial::erase_all() {
  for (int page = VORN_FLASH_START; page < VORN_ERASE_END; page += VORN_PAGE_SIZE) {
    erase_page(page);
  }
}

void Vorn_Serial::program_all(const uint32_t* image) {
  uint8_t row_bytes[VORN_ROW_SIZE];
  for (int row = VORN_FLASH_START; row < VORN_PROGRAM_END; row += VORN_ROW_SIZE) {
    if (image_row(image, row, row_bytes)) program_row(row, row_bytes, VORN_ROW_SIZE);
  }
}

void Vorn_Serial::verify_all(const uint32_t* image) {
  uint8_t expected[VORN_ROW_SIZE];
  uint8_t device[VORN_ROW_SIZE];
  for (int row = VORN_FLASH_START; row < VORN_PROGRAM_END; row += VORN_ROW_SIZE) {
    if (!image_row(image, row, expected)) continue;
    // read_row accepts a short reply. Bytes the card did not send start as
    // the opposite of what is expected, so they can never pass as verified.
    for (int k = 0; k < VORN_ROW_SIZE; k++) device[k] = ~expected[k];
    read_row(row, device);
    for (int k = 0; k < VORN_ROW_SIZE; k++) {
      if (expected[k] != device[k]) {
        printf("verify failure at address %04X: file = %02x, device = %02x\n", row + k, expected[k],
               device[k]);
        throw exception_t("programming failure\n");
      }
    }
  }
}

uint32_t* Vorn_Serial::new_9s08_buf() {
  uint32_t* buf = static_cast<uint32_t*>(malloc(VORN_IMAGE_WORDS * sizeof(uint32_t)));
  if (!buf) throw exception_t("Vorn_Serial::new_9s08_buf");
  for (int a = 0; a < VORN_IMAGE_WORDS; a++) buf[a] = VORN_NO_DATA;
  return buf;
}

void Vorn_Serial::free_9s08_buf(uint32_t* buf) { free(buf); }

void Vorn_Serial::read_9s08_s19(uint32_t* buf, const char* path) {
  file_t file(fopen(path, "r"));
  if (!file.get()) {
    printf("Error. can't open %s\n", path);
    reader_failure();
  }
  char line[LINE_SIZE];
  bool end_record = false;
  for (;;) {
    // Nothing read (end of file, or a read error) counts as an empty line;
    // a read error then ends the file like its end does, so the reader
    // cannot spin on a file that stopped delivering.
    if (!fgets(line, sizeof line, file.get())) line[0] = '\0';
    if (strncmp(line, "S1", 2) == 0) {
      store_s1_record(buf, line);
    } else if (strncmp(line, "S9", 2) == 0) {
      end_record = true;
    }
    // The end of the file is tested before the end record: an S9 line
    // without a line end after it is not taken as the end.
    if (feof(file.get()) || ferror(file.get())) {
      puts("Missing S9 termination record");
      reader_failure();
    }
    if (end_record) return;
  }
}

int Vorn_Serial::copy_9s08_bytes(const uint32_t* buf, uint8_t* bytes, int max_length) {
  // The object itself is never null in a member call.
  require(buf && bytes && max_length, SOURCE, 959, "this && buf && bytes && max_length");
  int a = 0;
  while (a < VORN_IMAGE_WORDS && buf[a] == VORN_NO_DATA) a++;
  if (a == VORN_IMAGE_WORDS || max_length < 0) return 0;
  int n = 0;
  while (a < VORN_IMAGE_WORDS && n < max_length && buf[a] != VORN_NO_DATA) {
    bytes[n++] = buf[a++] & 0xFF;
  }
  return n;
}
