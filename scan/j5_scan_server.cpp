#include "scan/j5_scan_server.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "common/exception.h"

namespace {

const char kSource[] = "j5_scan_server";

// Closes a request's connection on every way out of execute, also when a
// record check throws halfway through the request.
class connection_t {
 public:
  explicit connection_t(int fd) : fd_(fd) {}
  ~connection_t() { close(fd_); }
  connection_t(const connection_t&) = delete;
  connection_t& operator=(const connection_t&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// The wire form of one 32-bit word.
uint32_t wire_word(int32_t value) { return htonl(static_cast<uint32_t>(value)); }

int32_t take_word(qb_framed_reader_t& in, int32_t* value, int64_t bound) {
  uint32_t wire = 0;
  int32_t r = in.take(&wire, sizeof wire, bound);
  *value = static_cast<int32_t>(ntohl(wire));
  return r;
}

// A request's bytes leave in one write: the id and count words, then each
// header followed by its transmit bytes, gathered from the caller's
// buffers. The words of a batch are held here; a batch of more commands
// than that goes out in several writes, all but the last marked as having
// more to follow, so it still leaves as few segments as it fits.
class request_writer_t {
 public:
  request_writer_t(qb_literate_t& io, int fd, int32_t id, int32_t num_commands) : io_(io), fd_(fd) {
    add_words({id, num_commands});
  }

  // Adds one command; returns false when the writer was full and writing
  // what it held failed.
  bool add(const j5_scan_command_t& c) {
    if (commands_ == GATHERED_COMMANDS && !send(true)) return false;
    add_words({c.slot, c.op, c.rxlen, c.txlen});
    if (c.txlen < 0) {
      // The header goes out, then write_all's precondition refuses the
      // length (it throws), as when every piece was written by itself.
      if (send(false)) io_.write_all(fd_, c.txbuf, c.txlen);
      return false;
    }
    if (c.txlen) add_piece(c.txbuf, c.txlen);
    commands_++;
    return true;
  }

  // Writes everything added since the last send.
  bool send(bool more_follows) {
    const int32_t total = bytes_;
    const bool sent = io_.write_gathered(fd_, pieces_, pieces_used_, more_follows) == total;
    words_used_ = pieces_used_ = commands_ = bytes_ = 0;
    return sent;
  }

 private:
  static const int GATHERED_COMMANDS = 8;

  void add_words(std::initializer_list<int32_t> values) {
    uint32_t* first = words_ + words_used_;
    for (int32_t v : values) words_[words_used_++] = wire_word(v);
    add_piece(first, values.size() * sizeof(uint32_t));
  }

  // Bytes that follow the last piece in memory extend it.
  void add_piece(const void* data, size_t length) {
    iovec* last = pieces_used_ ? &pieces_[pieces_used_ - 1] : nullptr;
    if (last && static_cast<const char*>(last->iov_base) + last->iov_len == data) {
      last->iov_len += length;
    } else {
      pieces_[pieces_used_++] = {const_cast<void*>(data), length};
    }
    bytes_ += static_cast<int32_t>(length);
  }

  qb_literate_t& io_;
  int fd_;
  uint32_t words_[2 + 4 * GATHERED_COMMANDS];
  iovec pieces_[1 + 2 * GATHERED_COMMANDS];
  int32_t words_used_ = 0;
  int32_t pieces_used_ = 0;
  int32_t commands_ = 0;
  int32_t bytes_ = 0;
};

// The most bytes the reply to `c` can take on the wire: the count word
// and up to rxlen reply bytes.
int64_t reply_bound(const j5_scan_command_t& c) { return 4 + std::max(c.rxlen, 0); }

// What the client reads ahead of the replies: a whole reply of the card
// transfers an upgrade makes (at most 256 bytes). A longer reply reads
// its bytes straight into rxbuf.
const int32_t REPLY_READ_AHEAD = 512;

// The smallest request that runs a command: id, count and one header. The
// server's first read takes up to this much.
const int32_t SMALLEST_REQUEST = 8 + sizeof(j5_scan_server_t::header_t);

// The longest short write to a card.
const int32_t SHORT_WRITE_MAX = 27;

const char TYPE_MARKER[] = "Type: ";
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

int32_t j5_scan_primitive(int32_t, int32_t, int32_t, const uint8_t*, int32_t, uint8_t*) {
  return 0;
}

j5_scan_client_t::j5_scan_client_t(const char* host_name, int32_t client_id)
    : qb_client_t(host_name, J5_SCAN_PORT), id(client_id) {}

int32_t j5_scan_client_t::execute(int32_t num_commands, j5_scan_command_t* commands) {
  if (stop_flag_ && *stop_flag_) throw scan_stopped_t{};
  return exchange(num_commands, commands);
}

int32_t j5_scan_client_t::exchange(int32_t num_commands, j5_scan_command_t* commands) {
  require(num_commands && commands, kSource, 161, "num_commands && commands");
  int fd = open_connection(host, port);
  if (fd < 0) return 0;
  connection_t connection(fd);

  request_writer_t request(*this, fd, id, num_commands);
  for (int32_t i = 0; i < num_commands; i++) {
    const j5_scan_command_t* c = &commands[i];
    const bool valid = static_cast<uint32_t>(c->slot) < static_cast<uint32_t>(J5_SCAN_NUM_SLOTS) &&
                       (!c->txlen || c->txbuf) && (!c->rxlen || c->rxbuf);
    // The records before a bad one still reach the service, as the
    // request is cut off there.
    if (!valid && !request.send(false)) return 0;
    require(static_cast<uint32_t>(c->slot) < static_cast<uint32_t>(J5_SCAN_NUM_SLOTS), kSource,
            185, "c->slot >= 0 && c->slot < J5_SCAN_NUM_SLOTS");
    require(!c->txlen || c->txbuf, kSource, 186, "!c->txlen || c->txbuf");
    require(!c->rxlen || c->rxbuf, kSource, 187, "!c->rxlen || c->rxbuf");
    if (!request.add(*c)) return 0;
  }
  if (!request.send(false)) return 0;

  // The replies end the connection's traffic: whatever has arrived of them
  // is read at once, bounded by what the replies still due can hold.
  uint8_t ahead[REPLY_READ_AHEAD];
  qb_framed_reader_t replies(*this, fd, ahead, sizeof ahead);
  int64_t bound = 0;
  for (int32_t i = 0; i < num_commands; i++) bound += reply_bound(commands[i]);
  for (int32_t i = 0; i < num_commands; i++) {
    j5_scan_command_t* c = &commands[i];
    int32_t count = 0;
    if (!take_word(replies, &count, bound)) return 0;
    c->rxcount = count;
    int32_t k = count > c->rxlen ? c->rxlen : count;
    if (k > 0 && !replies.take(c->rxbuf, k, bound - 4)) return 0;
    bound -= reply_bound(*c);
  }
  return 1;
}

int32_t j5_scan_client_t::service_command(int32_t op) {
  j5_scan_command_t command = {op, 0, 0, 0, nullptr, nullptr, 0};
  // A client told to stop still gives the service back.
  const int32_t sent = op == J5_SCAN_OP_RELEASE ? exchange(1, &command) : execute(1, &command);
  return sent && command.rxcount > 0 ? 1 : 0;
}

int32_t j5_scan_client_t::grab() { return service_command(J5_SCAN_OP_GRAB); }

int32_t j5_scan_client_t::release() { return service_command(J5_SCAN_OP_RELEASE); }

j5_scan_server_t::j5_scan_server_t(j5_scan_primitive_fn primitive)
    : primitive_(std::move(primitive)) {}

// The `this` checks of the documented conditions cannot fail in C++ and
// are not repeated here.
const j5_scan_server_t::header_t* j5_scan_server_t::check_command(const header_t* m) {
  require(static_cast<uint32_t>(m->slot) < static_cast<uint32_t>(J5_SCAN_NUM_SLOTS), kSource, 46,
          "m->slot >= 0 && m->slot < J5_SCAN_NUM_SLOTS");
  require(static_cast<uint32_t>(m->txlen) <= static_cast<uint32_t>(J5_SCAN_MAX_TX), kSource, 47,
          "m->txlen >= 0 && m->txlen <= J5_SCAN_MAX_TX");
  require(static_cast<uint32_t>(m->rxlen) <= static_cast<uint32_t>(J5_SCAN_MAX_RX), kSource, 48,
          "m->rxlen >= 0 && m->rxlen <= J5_SCAN_MAX_RX");
  return m;
}

int32_t j5_scan_server_t::scan(int32_t slot, int32_t op, int32_t txlen, const uint8_t* txbuf,
                               int32_t rxlen, uint8_t* rxbuf) {
  require(txbuf && rxbuf, kSource, 28, "txbuf && rxbuf");
  require(txlen >= 0, kSource, 29, "txlen >= 0");
  require(static_cast<uint32_t>(rxlen) <= static_cast<uint32_t>(J5_SCAN_MAX_RX), kSource, 30,
          "rxlen >= 0 && rxlen <= J5_SCAN_MAX_RX");
  require(static_cast<uint32_t>(slot) < static_cast<uint32_t>(J5_SCAN_NUM_SLOTS), kSource, 32,
          "slot >=0 && slot < J5_SCAN_NUM_SLOTS");
  return primitive_(slot, op, txlen, txbuf, rxlen, rxbuf);
}

void j5_scan_server_t::handle(int32_t fd) {
  require(fd != 0, kSource, 58, "this && fd");
  // Each read takes what has arrived of the request, but no more than its
  // framing says can still belong to it: first the smallest request, then
  // the rest of the headers, then the transmit bytes they declare.
  uint8_t ahead[SMALLEST_REQUEST];
  qb_framed_reader_t request(*this, fd, ahead, sizeof ahead);
  int32_t id = 0;
  int32_t r = take_word(request, &id, SMALLEST_REQUEST);
  require(r == sizeof (id), kSource, 61, "r == sizeof (id)");
  if (owner_ && id != owner_) return;

  int32_t num_requests = 0;
  r = take_word(request, &num_requests, SMALLEST_REQUEST - 4);
  require(r == sizeof (num_requests), kSource, 68, "r == sizeof (num_requests)");
  require(num_requests <= MAX_REQUESTS, kSource, 72, "num_requests <= MAX_REQUESTS");
  // A count of 0 or below asks for no bytes, which the reader's own
  // precondition refuses: none of such a request's commands ever runs.
  // The header size is only multiplied by a count of 1..MAX_REQUESTS: a
  // large negative count would overflow, and could wrap to a positive
  // length beyond headers_.
  const int32_t header_bytes =
      num_requests > 0 ? static_cast<int32_t>(sizeof(header_t)) * num_requests : 0;
  r = request.take(headers_, header_bytes, header_bytes);
  require(r, kSource, 75, "r");
  // The transmit bytes the headers declare, each length held to the
  // limits until check_command has seen it.
  int64_t tx_declared = 0;
  for (int32_t i = 0; i < num_requests; i++) {
    header_t& h = headers_[i];
    h = {static_cast<int32_t>(ntohl(h.slot)), static_cast<int32_t>(ntohl(h.op)),
         static_cast<int32_t>(ntohl(h.rxlen)), static_cast<int32_t>(ntohl(h.txlen))};
    tx_declared += std::clamp(h.txlen, 0, J5_SCAN_MAX_TX);
  }

  int32_t tx_count = 0;
  for (int32_t i = 0; i < num_requests; i++) {
    const header_t* m = check_command(&headers_[i]);
    require(m, kSource, 80, "m");
    require(m->txlen + tx_count <= J5_SCAN_MAX_TX, kSource, 82,
            "m->txlen + tx_count <= J5_SCAN_MAX_TX");
    if (m->txlen) {
      r = request.take(tx_pool_ + tx_count, m->txlen, tx_declared);
      require(r, kSource, 85, "r");
    }
    tx_count += m->txlen;
    tx_declared -= m->txlen;
  }

  int32_t tx_offset = 0;
  for (int32_t i = 0; i < num_requests; i++) {
    const header_t& m = headers_[i];
    int32_t result;
    if (m.op == J5_SCAN_OP_GRAB || m.op == J5_SCAN_OP_RELEASE) {
      // Client id 0 never holds the service: its grab leaves owner at 0.
      if (owner_ == 0 || owner_ == id) {
        owner_ = m.op == J5_SCAN_OP_GRAB ? id : 0;
        result = 1;
      } else {
        result = -1;
      }
    } else {
      result = scan(m.slot, m.op, m.txlen, tx_pool_ + tx_offset, m.rxlen, rx_buffer_);
    }
    tx_offset += m.txlen;
    // Each reply, its count and its bytes, leaves in one write; the
    // replies of a batch are held back until the last, like a request.
    const bool last = i == num_requests - 1;
    int32_t k = result > m.rxlen ? m.rxlen : result;
    uint32_t p = wire_word(result);
    iovec reply[2] = {{&p, sizeof p}, {rx_buffer_, static_cast<size_t>(std::max(k, 0))}};
    r = write_gathered(fd, reply, k > 0 ? 2 : 1, !last);
    require(r >= static_cast<int32_t>(sizeof (p)), kSource, 121, "r == sizeof (p)");
    require(r == static_cast<int32_t>(sizeof (p)) + std::max(k, 0), kSource, 129, "r == result");
  }
}

int32_t j5_scan_client_t::scan_write(int32_t slot, uint8_t b0, uint8_t b1, const uint8_t* p,
                                     int32_t size) {
  // A negative size is refused by the same check: it would make the
  // transmit length meaningless.
  require(p && size >= 0 && size <= SHORT_WRITE_MAX, kSource, 234, "this && p && size < 28");
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
  require(image && length > 0 && version, kSource, 417, "this && image && length > 0 && version");
  uint8_t* const end = image + length;
  // The image's last string may have no zero inside the image: every
  // search here ends at image + length instead.
  auto next_zero = [end](uint8_t* from) {
    uint8_t* zero = static_cast<uint8_t*>(memchr(from, 0, end - from));
    return zero ? zero : end;
  };
  const uint8_t* const marker = reinterpret_cast<const uint8_t*>(TYPE_MARKER);
  uint8_t* found = nullptr;
  for (uint8_t* s = image; s < end;) {
    uint8_t* const terminator = next_zero(s);
    uint8_t* const m = std::search(s, terminator, marker, marker + strlen(TYPE_MARKER));
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
  require(version && type, kSource, 307, "version && type");
  const char* marker = strstr(version, TYPE_MARKER);
  // exception_t formats with a bound and keeps the first 199 characters,
  // so a long version text is cut there (its line feed with it).
  if (!marker) throw exception_t("couldn't find Type in %s\n", version);
  if (type_size < 1) return type;
  const char* text = marker + strlen(TYPE_MARKER);
  const size_t n = std::min(strcspn(text, "\n"), static_cast<size_t>(type_size - 1));
  memcpy(type, text, n);
  trim_end(type, n);
  return type;
}

char* j5_scan_client_t::get_date(const char* version, char* date, int32_t date_size) const {
  require(version && date, kSource, 280, "version && date");
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
  require(date && month && day && year && hour && minute && second, kSource, 377,
          "date && month && day && year && hour && minute && second");
  static const char delimiters[] = " :\n";
  char work[J5_SCAN_TEXT_SIZE];
  copy_cut(work, sizeof work, date);
  char* state = nullptr;

  const char* s = strtok_r(work, delimiters, &state);
  require(s, kSource, 382, "s");
  *month = 0;
  for (int32_t i = 0; i < 12; i++) {
    if (strcmp(s, MONTHS[i]) == 0) {
      *month = i + 1;
      break;
    }
  }
  s = strtok_r(nullptr, delimiters, &state);
  require(s, kSource, 391, "s");
  *day = date_number(s);
  require(*day, kSource, 393, "*day");
  s = strtok_r(nullptr, delimiters, &state);
  require(s, kSource, 396, "s");
  *year = date_number(s);
  require(*year, kSource, 398, "*year");
  s = strtok_r(nullptr, delimiters, &state);
  require(s, kSource, 401, "s");
  *hour = date_number(s);
  s = strtok_r(nullptr, delimiters, &state);
  require(s, kSource, 405, "s");
  *minute = date_number(s);
  s = strtok_r(nullptr, delimiters, &state);
  require(s, kSource, 409, "s");
  *second = date_number(s);
  return 1;
}

int32_t j5_scan_client_t::compare_dates(const char* date1, const char* date2) const {
  require(date1 && date2, kSource, 326, "date1 && date2");
  // Most significant first: year, month, day, hour, minute, second.
  int32_t a[6], b[6];
  parse_date(date1, &a[1], &a[2], &a[0], &a[3], &a[4], &a[5]);
  parse_date(date2, &b[1], &b[2], &b[0], &b[3], &b[4], &b[5]);
  for (int32_t i = 0; i < 6; i++) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}
