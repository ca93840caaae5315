#include "scan/j5_scan_client.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/exception.h"

namespace {

// Assertion messages name the scan protocol's source on both of its ends.
const char SOURCE[] = "j5_scan_server";

// The longest short write to a card.
const int32_t SHORT_WRITE_MAX = 27;

const char DATE_MARKER[] = "Compiled on:\n";
const char* const MONTHS[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Character classes of the C locale, whatever locale the process runs in.
bool is_c_alnum(uint8_t c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool is_c_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Copies at most size - 1 characters of `text` into `out` (size > 0) and
// terminates it; reads no further than that. Returns the length copied.
size_t copy_cut(char* out, size_t size, const char* text) {
  const size_t n = strnlen(text, size - 1);
  memcpy(out, text, n);
  out[n] = '\0';
  return n;
}

// Drops trailing white space of the n-character text, never its first
// character.
void trim_end(char* text, size_t n) {
  while (n > 1 && is_c_space(text[n - 1])) n--;
  text[n] = '\0';
}

// A date field: strtol's reading (leading blanks, a sign, digits up to the
// first non-digit, 0 without digits), held within int32 instead of
// overflowing.
int32_t date_number(const char* token) {
  const long value = strtol(token, nullptr, 10);
  return static_cast<int32_t>(std::clamp<long>(value, INT32_MIN, INT32_MAX));
}

}  // namespace

int32_t j5_scan_client_t::scan_write(int32_t slot, uint8_t b0, uint8_t b1, const uint8_t* p,
                                     int32_t size) {
  // A negative size is refused by the same check: it would make the
  // transmit length meaningless.
  require(p && size >= 0 && size <= SHORT_WRITE_MAX, SOURCE, 234, "this && p && size < 28");
  uint8_t tx[SHORT_WRITE_MAX + 2];
  tx[0] = b0;
  tx[1] = b1;
  memcpy(tx + 2, p, size);
  j5_scan_command_t command = {J5_SCAN_OP_CONTROL, slot, size + 2, 0, tx, nullptr, 0};
  return execute(1, &command);
}

void j5_scan_client_t::hex_dump(const uint8_t* p, int32_t size) const {
  static const char digits[] = "0123456789abcdef";
  char hex[16 * 3 + 1];
  char text[16 * 2 + 1];
  int32_t column = 0;
  auto print_line = [&] {
    hex[column * 3] = '\0';
    text[column * 2] = '\0';
    printf("%s    %s\n", hex, text);
    column = 0;
  };
  for (int32_t i = 0; p && i < size; i++) {
    const uint8_t byte = p[i];
    hex[column * 3] = digits[byte >> 4];
    hex[column * 3 + 1] = digits[byte & 0x0F];
    hex[column * 3 + 2] = ' ';
    text[column * 2] = is_c_alnum(byte) ? static_cast<char>(byte) : '.';
    text[column * 2 + 1] = ' ';
    column++;
    if (column == 16) print_line();
  }
  if (column) print_line();
}

int32_t j5_scan_client_t::find_version(uint8_t* image, int32_t length, char* version) const {
  require(image && length > 0 && version, SOURCE, 417, "this && image && length > 0 && version");
  uint8_t* const end = image + length;
  // The image's last string may have no zero inside the image: every
  // search here ends at image + length instead.
  auto next_zero = [end](uint8_t* from) {
    uint8_t* zero = static_cast<uint8_t*>(memchr(from, 0, end - from));
    return zero ? zero : end;
  };
  const uint8_t* const marker = reinterpret_cast<const uint8_t*>(J5_SCAN_TYPE_MARKER);
  uint8_t* found = nullptr;
  for (uint8_t* s = image; s < end;) {
    uint8_t* const terminator = next_zero(s);
    uint8_t* const m = std::search(s, terminator, marker, marker + strlen(J5_SCAN_TYPE_MARKER));
    if (m != terminator) {
      found = m;
      break;
    }
    if (terminator == end) break;
    s = terminator + 1;
  }
  if (!found) return 1;

  // Join the marker's string with the three after it; an image that ends
  // first keeps the joins made so far.
  uint8_t* p = found;
  for (int joins = 0; joins < 3 && p < end; joins++) {
    p = next_zero(p);
    if (p < end) *p = '\n';
  }
  const size_t n = next_zero(found) - found;
  memcpy(version, found, n);
  version[n] = '\0';
  return 1;
}

char* j5_scan_client_t::get_type(const char* version, char* type, int32_t type_size) const {
  require(version && type, SOURCE, 307, "version && type");
  const char* marker = strstr(version, J5_SCAN_TYPE_MARKER);
  // exception_t formats with a bound and keeps the first 199 characters,
  // so a long version text is cut there (its line feed with it).
  if (!marker) throw exception_t("couldn't find Type in %s\n", version);
  if (type_size < 1) return type;
  const char* text = marker + strlen(J5_SCAN_TYPE_MARKER);
  const size_t n = std::min(strcspn(text, "\n"), static_cast<size_t>(type_size - 1));
  memcpy(type, text, n);
  trim_end(type, n);
  return type;
}

char* j5_scan_client_t::get_date(const char* version, char* date, int32_t date_size) const {
  require(version && date, SOURCE, 280, "version && date");
  const char* marker = strstr(version, DATE_MARKER);
  // Cut at 199 characters like get_type's message.
  if (!marker) throw exception_t("couldn't find date in %s\n", version);
  char work[J5_SCAN_TEXT_SIZE];
  size_t n = copy_cut(work, sizeof work, marker + strlen(DATE_MARKER));
  if (char* date_end = strchr(work, '\n')) {
    *date_end = ' ';
    if (char* time_end = strchr(date_end + 1, '\n')) n = time_end - work;
  }
  trim_end(work, n);
  if (date_size >= 1) copy_cut(date, date_size, work);
  return date;
}

int32_t j5_scan_client_t::parse_date(const char* date, int32_t* month, int32_t* day,
                                     int32_t* year, int32_t* hour, int32_t* minute,
                                     int32_t* second) const {
  require(date && month && day && year && hour && minute && second, SOURCE, 377,
          "date && month && day && year && hour && minute && second");
  static const char delimiters[] = " :\n";
  char work[J5_SCAN_TEXT_SIZE];
  copy_cut(work, sizeof work, date);
  char* state = nullptr;

  const char* s = strtok_r(work, delimiters, &state);
  require(s, SOURCE, 382, "s");
  *month = 0;
  for (int32_t i = 0; i < 12; i++) {
    if (strcmp(s, MONTHS[i]) == 0) {
      *month = i + 1;
      break;
    }
  }
  s = strtok_r(nullptr, delimiters, &state);
  require(s, SOURCE, 391, "s");
  *day = date_number(s);
  require(*day, SOURCE, 393, "*day");
  s = strtok_r(nullptr, delimiters, &state);
  require(s, SOURCE, 396, "s");
  *year = date_number(s);
  require(*year, SOURCE, 398, "*year");
  s = strtok_r(nullptr, delimiters, &state);
  require(s, SOURCE, 401, "s");
  *hour = date_number(s);
  s = strtok_r(nullptr, delimiters, &state);
  require(s, SOURCE, 405, "s");
  *minute = date_number(s);
  s = strtok_r(nullptr, delimiters, &state);
  require(s, SOURCE, 409, "s");
  *second = date_number(s);
  return 1;
}

int32_t j5_scan_client_t::compare_dates(const char* date1, const char* date2) const {
  require(date1 && date2, SOURCE, 326, "date1 && date2");
  // Most significant first: year, month, day, hour, minute, second.
  int32_t a[6], b[6];
  parse_date(date1, &a[1], &a[2], &a[0], &a[3], &a[4], &a[5]);
  parse_date(date2, &b[1], &b[2], &b[0], &b[3], &b[4], &b[5]);
  for (int32_t i = 0; i < 6; i++) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}
