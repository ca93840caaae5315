// Vorn_Serial: access to the 9S08 microcontroller of one X3 line card,
// reached through the local scan service.
//
// It reads the card's configuration and status records, writes control
// bytes, switches the card's monitor mode, reboots the card, and erases,
// programs and verifies the microcontroller's flash from an S1/S9 image.
//
// Promises:
// - One object serves one slot. Every exchange is one scan request on a
//   connection of its own; no connection is held between operations.
// - Every operation returns normally on success or throws exception_t
//   with a fixed text, after writing its message (if it has one) to
//   standard output.
// - It never grabs or releases the scan service; that is for its caller.
// - It owns its type list and the records hanging from it: they are
//   released when the list is dropped (a reply length of -2), replaced
//   (config) or the object is destroyed. Records handed out by get_info
//   live until then.
// - The image buffer and S-record operations exchange nothing with the
//   card and leave the object's state alone.
#ifndef SERIAL_VORN_SERIAL_H
#define SERIAL_VORN_SERIAL_H

#include <cstdint>

#include "scan/j5_scan_protocol.h"
#include "scan/j5_scan_client.h"

const int32_t VORN_CONFIG_RXLEN = 2048;
const int32_t VORN_STATUS_RXLEN = 4000;

// The microcontroller's flash: erased in pages, written and read in rows.
const int VORN_PAGE_SIZE = 0x200;
const int VORN_ROW_SIZE = 0x40;
const int VORN_FLASH_START = 0x8000;
const int VORN_ERASE_END = 0xE000;    // erase_all stops before this page
const int VORN_PROGRAM_END = 0xE200;  // program_all and verify_all stop before this row

// A 9S08 image buffer has one word per 16-bit address; this word marks an
// address without image data, any other word holds a data byte.
const int VORN_IMAGE_WORDS = 0x10000;
const uint32_t VORN_NO_DATA = 0xFFFFFFFF;

// Scales of the analogue readings: an 8-bit converter count times the
// full-scale value over 255 (3.3, 6.6 and 13.2), and the fixed steps of
// types 20 and 17.
const double VORN_SCALE_3_3 = 3.3 / 255;
const double VORN_SCALE_6_6 = 6.6 / 255;
const double VORN_SCALE_13_2 = 13.2 / 255;
const double VORN_SCALE_TYPE20 = 0.0288;
const double VORN_SCALE_TYPE17 = 0.0625;

// Type records. config makes one, zero-filled, per type byte of the
// configuration reply; `position` is the 1-based place of that type byte.
// Every read updates each record from its status bytes s0, s1, ...:
// fields marked "=" are overwritten, "+=" accumulate modulo 2^32 and "|="
// collect bits, the last two over every read since the record was made.

struct vorn_record1_t {  // type 1, 6 status bytes
  int position;
  uint32_t value1;  // = s0
  uint32_t value2;  // = s1
  uint32_t value3;  // = s2
  uint32_t total;   // += s3
  uint32_t value4;  // = s4
  uint32_t value5;  // = s5
};

struct vorn_record2_t {  // type 2, 3 status bytes
  int position;
  double reading1;  // = s0 * VORN_SCALE_13_2
  double reading2;  // = s1 * VORN_SCALE_13_2
  uint32_t value1;  // = s2
};

struct vorn_record6_t {  // type 6, 12 status bytes: value1..value12 = s0..s11
  int position;
  uint32_t value1, value2, value3, value4, value5, value6;
  uint32_t value7, value8, value9, value10, value11, value12;
};

struct vorn_record13_t {  // type 13, 1 status byte
  int position;
  uint32_t value1;  // = s0
};

// Types 14, 15 and 16: two readings, scaled by VORN_SCALE_3_3, _6_6 and
// _13_2, in that order. get_scaled_info hands these out as one family.
struct vorn_scaled_record_t {  // 2 status bytes
  int position;
  double reading1;  // = s0 * scale
  double reading2;  // = s1 * scale
};

struct vorn_record17_t {  // type 17, 3 status bytes
  int position;
  uint32_t value1;  // = s0
  double reading;   // = (s1 * 256 + s2) * VORN_SCALE_TYPE17
};

struct vorn_record18_t {  // type 18, 2 status bytes
  int position;
  uint32_t value1;  // = s0
  uint32_t value2;  // = s1
};

struct vorn_record20_t {  // type 20, 2 status bytes
  int position;
  uint32_t flags;  // |= s0
  double reading;  // = s1 * VORN_SCALE_TYPE20
};

struct vorn_record32_t {  // types 32 and 33, 3 status bytes
  int position;
  uint32_t value1;  // = s0
  uint32_t flags;   // |= s1
  uint32_t value2;  // = s2
};

// One of the 32 entries of a type 34 record, updated from a group of 13
// status bytes and one byte of the closing 32.
struct vorn_record34_entry_t {
  uint32_t count_a;       // += group bytes 0-3, big-endian
  uint32_t count_b;       // += group bytes 4-7, big-endian
  uint32_t sum_a;         // += group byte 8
  uint32_t sum_b;         // += group byte 9
  uint32_t sum_c;         // += group byte 10
  uint32_t sum_d;         // += group byte 11
  uint32_t flags;         // |= group byte 12
  uint32_t bit_count[8];  // [b] += 1 for each bit b set in group byte 12
  uint32_t last;          // = s(418 + entry)
};

const int VORN_RECORD34_ENTRIES = 32;

// Type 34, 450 status bytes: s0, 32 groups of 13 (group j at s(1 + 13j)),
// s417, then one byte per entry.
struct vorn_record34_t {
  int position;
  uint32_t value1;  // = s0
  uint32_t value2;  // = s417
  vorn_record34_entry_t entries[VORN_RECORD34_ENTRIES];
};

struct vorn_record35_t {  // type 35, 8 status bytes
  int position;
  uint32_t value1;  // = s0 * 256 + s1
  uint32_t value2;  // = s2 * 256 + s3
  uint32_t value3;  // = s4
  uint32_t value4;  // = s5
  double reading;   // = s6 * VORN_SCALE_13_2
  uint32_t value5;  // = s7
};

// One element of the type list: the type byte and its record (one of the
// structs above, by type), in configuration reply order.
struct type_node {
  int type;
  void* info;
  type_node* next;
};

class Vorn_Serial : public j5_scan_client_t {
 public:
  static const int CONFIG_STRINGS = 4;
  static const int CONFIG_STRING_SIZE = 256;

  // Addresses the card in `slot` through the scan service on `host`, port
  // 1971, as client `client_id`. Contacts nothing.
  Vorn_Serial(const char* host, int32_t client_id, int slot);
  ~Vorn_Serial();
  Vorn_Serial(const Vorn_Serial&) = delete;
  Vorn_Serial& operator=(const Vorn_Serial&) = delete;

  // Control: restart the card; switch its monitor mode on and off.
  void reboot();
  void enter_monitor();
  void leave_monitor();

  // Records. config rebuilds the type list and the four strings from a
  // fresh configuration reply and then reads; read fetches configuration
  // and status in one request and updates every record. A reply length of
  // -2 (card absent) is not a fault: the list is left empty. probe takes
  // only the four strings, returning whether the reply was well formed; it
  // throws only when the exchange itself fails.
  void config();
  void read();
  bool probe();
  // The index-th record (from 0) of `type`, in list order; its layout is
  // the struct of that type. Throws when there is none. The element
  // without a record that a failed config can leave at the end of the
  // list is never counted, and read treats it as an unknown type.
  void* get_info(int type, int index);
  // The index-th record of type 14, 15 or 16.
  vorn_scaled_record_t* get_scaled_info(int index);
  // Sends the record's position and the low bytes of value1 and value2.
  void write_control(int type, int index, int value1, int value2);

  // Microcontroller flash. Addresses are 16-bit; `buffer` of read_row
  // holds 64 bytes. program_row sends n of 0..255 (the count travels as
  // one byte) and refuses any other n without sending.
  void read_row(int address, uint8_t* buffer);
  void erase_page(int address);
  void program_row(int address, const uint8_t* data, int n);
  // 0x8000 up to 0xE000, page by page.
  void erase_all();
  // 0x8000 through 0xE1FF, row by row, skipping rows without image data.
  void program_all(const uint32_t* image);
  void verify_all(const uint32_t* image);

  // 9S08 image buffers: VORN_IMAGE_WORDS words, owned by the caller
  // between new_9s08_buf and free_9s08_buf.
  uint32_t* new_9s08_buf();
  void free_9s08_buf(uint32_t* buf);
  // Loads an S1/S9 file; addresses the file does not mention keep their
  // words. On a failure the bytes read so far stay stored.
  void read_9s08_s19(uint32_t* buf, const char* path);
  // Copies the first unbroken run of image bytes (from the lowest address
  // with data, at most max_length) into `bytes`; returns the count.
  int copy_9s08_bytes(const uint32_t* buf, uint8_t* bytes, int max_length);

  // State, for callers to read; the object maintains it.
  const int slot;
  // 1 from the moment a reading's exchange succeeds until that reading
  // completes without fault; 1 after construction.
  int not_ok;
  // Set once a configuration reply of positive length has arrived.
  int have_config;
  // Only `types.next` is used: the first element, null when empty.
  type_node types;

 private:
  void drop_types();
  void run(j5_scan_command_t* command, const char* failed_line, const char* error_format,
           const char* thrown);
  // Takes the four strings after the type bytes; 0, or the 1-based number
  // of the first faulty string.
  int take_strings(int32_t reply_length);

  uint8_t config_buf[4096];
  uint8_t status_buf[4096];
  uint8_t tx_buf[1024];

 public:
  // The four strings of the latest well-formed configuration reply.
  char config_strings[CONFIG_STRINGS][CONFIG_STRING_SIZE];
};

#endif
