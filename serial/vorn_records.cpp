// Vorn_Serial: the line card's configuration and status records.
//
// The microcontroller describes itself in its configuration reply: a count
// N, N type bytes, then four NUL-terminated strings. Its status reply is
// the status bytes of every type, in the same order, back to back. config
// makes one record per type byte; read updates the records from the status
// bytes.
#include <cstdio>
#include <cstring>
#include <new>
#include <type_traits>

#include "common/exception.h"
#include "serial/vorn_serial.h"

namespace {

// How to make, update and release the record of one type.
struct record_kind {
  int type;
  int status_bytes;
  void* (*make)(int position);
  void (*release)(void* record);
  void (*update)(void* record, const uint8_t* s);
};

// Records are plain structs whose first field is `position`, so a record
// of any type can be read as its position.
template <class R>
void* make_record(int position) {
  static_assert(std::is_standard_layout_v<R> && std::is_trivial_v<R>);
  R* r = new (std::nothrow) R();  // zero-filled
  if (r) r->position = position;
  return r;
}

template <class R>
void release_record(void* record) {
  delete static_cast<R*>(record);
}

uint32_t big_endian_32(const uint8_t* b) {
  return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | uint32_t{b[3]};
}

void update1(void* record, const uint8_t* s) {
  auto* r = static_cast<vorn_record1_t*>(record);
  r->value1 = s[0];
  r->value2 = s[1];
  r->value3 = s[2];
  r->total += s[3];
  r->value4 = s[4];
  r->value5 = s[5];
}

void update2(void* record, const uint8_t* s) {
  auto* r = static_cast<vorn_record2_t*>(record);
  r->reading1 = s[0] * VORN_SCALE_13_2;
  r->reading2 = s[1] * VORN_SCALE_13_2;
  r->value1 = s[2];
}

void update6(void* record, const uint8_t* s) {
  auto* r = static_cast<vorn_record6_t*>(record);
  r->value1 = s[0];
  r->value2 = s[1];
  r->value3 = s[2];
  r->value4 = s[3];
  r->value5 = s[4];
  r->value6 = s[5];
  r->value7 = s[6];
  r->value8 = s[7];
  r->value9 = s[8];
  r->value10 = s[9];
  r->value11 = s[10];
  r->value12 = s[11];
}

void update13(void* record, const uint8_t* s) {
  static_cast<vorn_record13_t*>(record)->value1 = s[0];
}

void update_scaled(void* record, const uint8_t* s, double scale) {
  auto* r = static_cast<vorn_scaled_record_t*>(record);
  r->reading1 = s[0] * scale;
  r->reading2 = s[1] * scale;
}
void update14(void* record, const uint8_t* s) { update_scaled(record, s, VORN_SCALE_3_3); }
void update15(void* record, const uint8_t* s) { update_scaled(record, s, VORN_SCALE_6_6); }
void update16(void* record, const uint8_t* s) { update_scaled(record, s, VORN_SCALE_13_2); }

void update17(void* record, const uint8_t* s) {
  auto* r = static_cast<vorn_record17_t*>(record);
  r->value1 = s[0];
  r->reading = (s[1] * 256 + s[2]) * VORN_SCALE_TYPE17;
}

void update18(void* record, const uint8_t* s) {
  auto* r = static_cast<vorn_record18_t*>(record);
  r->value1 = s[0];
  r->value2 = s[1];
}

void update20(void* record, const uint8_t* s) {
  auto* r = static_cast<vorn_record20_t*>(record);
  r->flags |= s[0];
  r->reading = s[1] * VORN_SCALE_TYPE20;
}

void update32(void* record, const uint8_t* s) {
  auto* r = static_cast<vorn_record32_t*>(record);
  r->value1 = s[0];
  r->flags |= s[1];
  r->value2 = s[2];
}

const int GROUP_SIZE = 13;
const int VALUE2_BYTE = 1 + VORN_RECORD34_ENTRIES * GROUP_SIZE;  // 417
const int LAST_BYTES = VALUE2_BYTE + 1;                          // 418

void update34(void* record, const uint8_t* s) {
  auto* r = static_cast<vorn_record34_t*>(record);
  r->value1 = s[0];
  for (int j = 0; j < VORN_RECORD34_ENTRIES; j++) {
    const uint8_t* g = s + 1 + GROUP_SIZE * j;
    vorn_record34_entry_t& e = r->entries[j];
    e.count_a += big_endian_32(g);
    e.count_b += big_endian_32(g + 4);
    e.sum_a += g[8];
    e.sum_b += g[9];
    e.sum_c += g[10];
    e.sum_d += g[11];
    e.flags |= g[12];
    for (int b = 0; b < 8; b++) {
      if (g[12] & (1 << b)) e.bit_count[b]++;
    }
    e.last = s[LAST_BYTES + j];
  }
  r->value2 = s[VALUE2_BYTE];
}

void update35(void* record, const uint8_t* s) {
  auto* r = static_cast<vorn_record35_t*>(record);
  r->value1 = s[0] * 256 + s[1];
  r->value2 = s[2] * 256 + s[3];
  r->value3 = s[4];
  r->value4 = s[5];
  r->reading = s[6] * VORN_SCALE_13_2;
  r->value5 = s[7];
}

template <class R>
constexpr record_kind kind(int type, int status_bytes, void (*update)(void*, const uint8_t*)) {
  return {type, status_bytes, make_record<R>, release_record<R>, update};
}

const record_kind KINDS[] = {
    kind<vorn_record1_t>(1, 6, update1),         kind<vorn_record2_t>(2, 3, update2),
    kind<vorn_record6_t>(6, 12, update6),        kind<vorn_record13_t>(13, 1, update13),
    kind<vorn_scaled_record_t>(14, 2, update14), kind<vorn_scaled_record_t>(15, 2, update15),
    kind<vorn_scaled_record_t>(16, 2, update16), kind<vorn_record17_t>(17, 3, update17),
    kind<vorn_record18_t>(18, 2, update18),      kind<vorn_record20_t>(20, 2, update20),
    kind<vorn_record32_t>(32, 3, update32),      kind<vorn_record32_t>(33, 3, update32),
    kind<vorn_record34_t>(34, 450, update34),    kind<vorn_record35_t>(35, 8, update35),
};

// The kind of a type byte, or null for one the card should never report.
const record_kind* find_kind(int type) {
  for (const record_kind& k : KINDS) {
    if (k.type == type) return &k;
  }
  return nullptr;
}

bool is_scaled(int type) { return type == 14 || type == 15 || type == 16; }

[[noreturn]] void missing_record() { throw exception_t("couldn't find type in get_info"); }

}  // namespace

void Vorn_Serial::drop_types() {
  type_node* e = types.next;
  types.next = nullptr;
  while (e) {
    type_node* next = e->next;
    // A record exists only for a known type.
    if (e->info) find_kind(e->type)->release(e->info);
    delete e;
    e = next;
  }
}

// Strings follow the type bytes, each directly after the previous one's
// NUL. A string's NUL may be the byte just past the reply. With at most
// 255 type bytes and 256 bytes looked at per string, nothing past the
// first 1280 bytes of config_buf is ever read.
int Vorn_Serial::take_strings(int32_t reply_length) {
  size_t s = size_t{config_buf[0]} + 1;
  for (int k = 1; k <= CONFIG_STRINGS; k++) {
    const uint8_t* start = config_buf + s;
    const void* nul = memchr(start, 0, CONFIG_STRING_SIZE);
    if (!nul) return k;
    const size_t len = static_cast<const uint8_t*>(nul) - start;
    if (static_cast<int64_t>(s + len) > reply_length) return k;
    memcpy(config_strings[k - 1], start, len + 1);
    s += len + 1;
  }
  return 0;
}

void Vorn_Serial::config() {
  drop_types();
  j5_scan_command_t c = {J5_SCAN_OP_CONFIG, slot, 0, VORN_CONFIG_RXLEN, nullptr, config_buf, 0};
  if (!execute(1, &c)) throw exception_t("Vorn_Serial::config");
  not_ok = 1;
  const int32_t length = c.rxcount;
  if (length == -2) return;  // no card answers in this slot
  if (length <= 0) {
    printf("Error reading configuration, error code %i.\n", length);
    throw exception_t("Vorn_Serial::config");
  }
  const int n = config_buf[0];
  have_config = 1;
  if (n >= length) {
    printf("Error reading config, not enough data received (%d > %d)\n", n, length);
    throw exception_t("Vorn_Serial::config");
  }
  // Elements are linked as they are made, so a failure here leaves those
  // made so far in the list, the last one possibly without a record.
  type_node* tail = &types;
  for (int i = 0; i < n; i++) {
    type_node* e = new (std::nothrow) type_node{config_buf[1 + i], nullptr, nullptr};
    if (!e) throw exception_t("Malloc failed in Vorn_Serial::config");
    tail->next = e;
    tail = e;
    const record_kind* k = find_kind(e->type);
    if (!k) {
      printf("type byte: %02x\n", e->type);
      throw exception_t("Unknown type byte in Vorn_Serial::config");
    }
    e->info = k->make(i + 1);
    if (!e->info) throw exception_t("Malloc failed in Vorn_Serial::config");
  }
  if (const int faulty = take_strings(length)) {
    throw exception_t("Error in config bytes%d in Vorn_Serial::config", faulty);
  }
  not_ok = 0;
  read();
}

void Vorn_Serial::read() {
  j5_scan_command_t c[2] = {
      {J5_SCAN_OP_CONFIG, slot, 0, VORN_CONFIG_RXLEN, nullptr, config_buf, 0},
      {J5_SCAN_OP_STATUS, slot, 0, VORN_STATUS_RXLEN, nullptr, status_buf, 0},
  };
  if (!execute(2, c)) throw exception_t("Vorn_Serial::read");
  not_ok = 1;
  const int32_t length = c[0].rxcount;
  const int32_t status_length = c[1].rxcount;
  if (length == -2 || status_length == -2) {  // the card has gone
    drop_types();
    return;
  }
  if (length <= 0) {
    printf("Error reading configuration, error code %i.\n", length);
    throw exception_t("Vorn_Serial::read");
  }
  if (status_length < 0) {
    printf("Error reading status, error code %i.\n", status_length);
    throw exception_t("Vorn_Serial::read");
  }
  const int n = config_buf[0];
  if (n >= length) {
    printf("Error reading config, not enough data received (%d > %d)\n", n, length);
    throw exception_t("Vorn_Serial::read");
  }
  int64_t pos = 0;
  type_node* e = &types;
  for (int i = 0; i < n; i++) {
    e = e->next;
    if (!e) throw exception_t("Too many typebytes in Vorn_Serial:read\n");
    if (e->type != config_buf[1 + i])
      throw exception_t("Type bytes don't match in Vorn_Serial:read\n");
    // The element without a record that a failed config leaves at the end
    // of the list is a fault like an unknown type: it is never updated.
    const record_kind* k = find_kind(e->type);
    if (!k || !e->info) throw exception_t("Unknown type byte in Vorn_Serial::read");
    // The reported status length is only checked after the update, and a
    // service may report more than it sent. The update itself never reads
    // past status_buf: a record that would is not updated, and the reply
    // is short by any measure.
    if (pos + k->status_bytes > static_cast<int64_t>(sizeof status_buf)) {
      throw exception_t("not enough status bytes in Vorn_Serial::read");
    }
    k->update(e->info, status_buf + pos);
    pos += k->status_bytes;
    if (pos > status_length) throw exception_t("not enough status bytes in Vorn_Serial::read");
  }
  not_ok = 0;
}

bool Vorn_Serial::probe() {
  j5_scan_command_t c = {J5_SCAN_OP_CONFIG, slot, 0, VORN_CONFIG_RXLEN, nullptr, config_buf, 0};
  if (!execute(1, &c)) throw exception_t("Vorn_Serial::config");
  not_ok = 1;
  const int32_t length = c.rxcount;
  if (length <= 0) return false;
  const int n = config_buf[0];
  have_config = 1;
  if (n >= length) return false;
  if (take_strings(length)) return false;
  not_ok = 0;
  return true;
}

// Elements without a record are not counted: only the last element of a
// list that a failed config left behind can lack one.
void* Vorn_Serial::get_info(int type, int index) {
  int passed = 0;
  for (type_node* e = types.next; e; e = e->next) {
    if (e->type != type || !e->info) continue;
    if (passed == index) return e->info;
    passed++;
  }
  printf("no type %d in port %d\n", type, slot);
  missing_record();
}

vorn_scaled_record_t* Vorn_Serial::get_scaled_info(int index) {
  int passed = 0;
  for (type_node* e = types.next; e; e = e->next) {
    if (!is_scaled(e->type) || !e->info) continue;
    if (passed == index) return static_cast<vorn_scaled_record_t*>(e->info);
    passed++;
  }
  missing_record();
}

// A warning only: the card may still take the control bytes.
void Vorn_Serial::write_control(int type, int index, int value1, int value2) {
  if (not_ok) puts("can't write control when linecard not OK");
  const int position = *static_cast<const int*>(get_info(type, index));
  tx_buf[0] = position & 0xFF;
  tx_buf[1] = value1 & 0xFF;
  tx_buf[2] = value2 & 0xFF;
  j5_scan_command_t c = {J5_SCAN_OP_CONTROL, slot, 3, 0, tx_buf, nullptr, 0};
  if (!execute(1, &c) || c.rxcount != 0) throw exception_t("Vorn_Serial::write_control");
}
