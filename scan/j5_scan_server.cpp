#include "scan/j5_scan_server.h"

#include <arpa/inet.h>
#include <unistd.h>

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

int32_t write_word(qb_literate_t& io, int fd, int32_t value, bool more_follows) {
  uint32_t wire = htonl(static_cast<uint32_t>(value));
  return io.write_all(fd, &wire, sizeof wire, more_follows);
}

int32_t read_word(qb_literate_t& io, int fd, int32_t* value) {
  uint32_t wire = 0;
  int32_t r = io.read_all(fd, &wire, sizeof wire);
  *value = static_cast<int32_t>(ntohl(wire));
  return r;
}

}  // namespace

int32_t j5_scan_primitive(int32_t, int32_t, int32_t, const uint8_t*, int32_t, uint8_t*) {
  return 0;
}

j5_scan_client_t::j5_scan_client_t(const char* host_name, int32_t client_id)
    : qb_client_t(host_name, J5_SCAN_PORT), id(client_id) {}

int32_t j5_scan_client_t::execute(int32_t num_commands, j5_scan_command_t* commands) {
  require(num_commands && commands, kSource, 161, "num_commands && commands");
  int fd = open_connection(host, port);
  if (fd < 0) return 0;
  connection_t connection(fd);

  // The request goes out in pieces; all but the last are marked as having
  // more to follow, so the request leaves as one segment.
  if (!write_word(*this, fd, id, true) || !write_word(*this, fd, num_commands, true)) return 0;
  for (int32_t i = 0; i < num_commands; i++) {
    const j5_scan_command_t* c = &commands[i];
    const bool last = i == num_commands - 1;
    require(static_cast<uint32_t>(c->slot) < static_cast<uint32_t>(J5_SCAN_NUM_SLOTS), kSource,
            185, "c->slot >= 0 && c->slot < J5_SCAN_NUM_SLOTS");
    require(!c->txlen || c->txbuf, kSource, 186, "!c->txlen || c->txbuf");
    require(!c->rxlen || c->rxbuf, kSource, 187, "!c->rxlen || c->rxbuf");
    uint32_t header[4] = {htonl(c->slot), htonl(c->op), htonl(c->rxlen), htonl(c->txlen)};
    if (!write_all(fd, header, sizeof header, c->txlen || !last)) return 0;
    if (c->txlen && !write_all(fd, c->txbuf, c->txlen, !last)) return 0;
  }
  for (int32_t i = 0; i < num_commands; i++) {
    j5_scan_command_t* c = &commands[i];
    int32_t count = 0;
    if (!read_word(*this, fd, &count)) return 0;
    c->rxcount = count;
    int32_t k = count > c->rxlen ? c->rxlen : count;
    if (k > 0 && !read_all(fd, c->rxbuf, k)) return 0;
  }
  return 1;
}

int32_t j5_scan_client_t::service_command(int32_t op) {
  j5_scan_command_t command = {op, 0, 0, 0, nullptr, nullptr, 0};
  return execute(1, &command) && command.rxcount > 0 ? 1 : 0;
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
  int32_t id = 0;
  int32_t r = read_word(*this, fd, &id);
  require(r == sizeof (id), kSource, 61, "r == sizeof (id)");
  if (owner_ && id != owner_) return;

  int32_t num_requests = 0;
  r = read_word(*this, fd, &num_requests);
  require(r == sizeof (num_requests), kSource, 68, "r == sizeof (num_requests)");
  require(num_requests <= MAX_REQUESTS, kSource, 72, "num_requests <= MAX_REQUESTS");
  // A count of 0 or below asks read_all for no bytes (or a negative
  // number), which its own precondition refuses: none of such a request's
  // commands ever runs.
  r = read_all(fd, headers_, static_cast<int32_t>(sizeof(header_t)) * num_requests);
  require(r, kSource, 75, "r");
  for (int32_t i = 0; i < num_requests; i++) {
    header_t& h = headers_[i];
    h = {static_cast<int32_t>(ntohl(h.slot)), static_cast<int32_t>(ntohl(h.op)),
         static_cast<int32_t>(ntohl(h.rxlen)), static_cast<int32_t>(ntohl(h.txlen))};
  }

  int32_t tx_count = 0;
  for (int32_t i = 0; i < num_requests; i++) {
    const header_t* m = check_command(&headers_[i]);
    require(m, kSource, 80, "m");
    require(m->txlen + tx_count <= J5_SCAN_MAX_TX, kSource, 82,
            "m->txlen + tx_count <= J5_SCAN_MAX_TX");
    if (m->txlen) {
      r = read_all(fd, tx_pool_ + tx_count, m->txlen);
      require(r, kSource, 85, "r");
    }
    tx_count += m->txlen;
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
    // Replies, like requests, leave as one segment.
    const bool last = i == num_requests - 1;
    int32_t k = result > m.rxlen ? m.rxlen : result;
    int32_t p = result;
    r = write_word(*this, fd, p, k > 0 || !last);
    require(r == sizeof (p), kSource, 121, "r == sizeof (p)");
    if (k > 0) {
      r = write_all(fd, rx_buffer_, k, !last);
      require(r == k, kSource, 129, "r == result");
    }
  }
}
