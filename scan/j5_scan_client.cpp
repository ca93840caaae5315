#include "scan/j5_scan_client.h"

#include <unistd.h>

#include <algorithm>
#include <initializer_list>

#include "common/exception.h"
#include "scan/j5_scan_wire.h"

namespace {

// Assertion messages name the scan protocol's source on both of its ends.
const char SOURCE[] = "j5_scan_server";

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

}  // namespace

j5_scan_client_t::j5_scan_client_t(const char* host_name, int32_t client_id)
    : qb_client_t(host_name, J5_SCAN_PORT), id(client_id) {}

int32_t j5_scan_client_t::execute(int32_t num_commands, j5_scan_command_t* commands) {
  if (stop_flag_ && *stop_flag_) throw scan_stopped_t{};
  return exchange(num_commands, commands);
}

int32_t j5_scan_client_t::exchange(int32_t num_commands, j5_scan_command_t* commands) {
  require(num_commands && commands, SOURCE, 161, "num_commands && commands");
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
    require(static_cast<uint32_t>(c->slot) < static_cast<uint32_t>(J5_SCAN_NUM_SLOTS), SOURCE,
            185, "c->slot >= 0 && c->slot < J5_SCAN_NUM_SLOTS");
    require(!c->txlen || c->txbuf, SOURCE, 186, "!c->txlen || c->txbuf");
    require(!c->rxlen || c->rxbuf, SOURCE, 187, "!c->rxlen || c->rxbuf");
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
