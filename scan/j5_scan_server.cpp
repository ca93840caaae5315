#include "scan/j5_scan_server.h"

#include <algorithm>

#include "common/exception.h"
#include "scan/j5_scan_wire.h"

namespace {

const char SOURCE[] = "j5_scan_server";

// The smallest request that runs a command: id, count and one header. The
// server's first read takes up to this much.
const int32_t SMALLEST_REQUEST = 8 + sizeof(j5_scan_server_t::header_t);

}  // namespace

int32_t j5_scan_primitive(int32_t, int32_t, int32_t, const uint8_t*, int32_t, uint8_t*) {
  return 0;
}

j5_scan_server_t::j5_scan_server_t(j5_scan_primitive_fn primitive)
    : primitive_(std::move(primitive)) {}

// The `this` checks of the documented conditions cannot fail in C++ and
// are not repeated here.
const j5_scan_server_t::header_t* j5_scan_server_t::check_command(const header_t* m) {
  require(static_cast<uint32_t>(m->slot) < static_cast<uint32_t>(J5_SCAN_NUM_SLOTS), SOURCE, 46,
          "m->slot >= 0 && m->slot < J5_SCAN_NUM_SLOTS");
  require(static_cast<uint32_t>(m->txlen) <= static_cast<uint32_t>(J5_SCAN_MAX_TX), SOURCE, 47,
          "m->txlen >= 0 && m->txlen <= J5_SCAN_MAX_TX");
  require(static_cast<uint32_t>(m->rxlen) <= static_cast<uint32_t>(J5_SCAN_MAX_RX), SOURCE, 48,
          "m->rxlen >= 0 && m->rxlen <= J5_SCAN_MAX_RX");
  return m;
}

int32_t j5_scan_server_t::scan(int32_t slot, int32_t op, int32_t txlen, const uint8_t* txbuf,
                               int32_t rxlen, uint8_t* rxbuf) {
  require(txbuf && rxbuf, SOURCE, 28, "txbuf && rxbuf");
  require(txlen >= 0, SOURCE, 29, "txlen >= 0");
  require(static_cast<uint32_t>(rxlen) <= static_cast<uint32_t>(J5_SCAN_MAX_RX), SOURCE, 30,
          "rxlen >= 0 && rxlen <= J5_SCAN_MAX_RX");
  require(static_cast<uint32_t>(slot) < static_cast<uint32_t>(J5_SCAN_NUM_SLOTS), SOURCE, 32,
          "slot >=0 && slot < J5_SCAN_NUM_SLOTS");
  return primitive_(slot, op, txlen, txbuf, rxlen, rxbuf);
}

void j5_scan_server_t::handle(int32_t fd) {
  require(fd != 0, SOURCE, 58, "this && fd");
  // Each read takes what has arrived of the request, but no more than its
  // framing says can still belong to it: first the smallest request, then
  // the rest of the headers, then the transmit bytes they declare.
  uint8_t ahead[SMALLEST_REQUEST];
  qb_framed_reader_t request(*this, fd, ahead, sizeof ahead);
  int32_t id = 0;
  int32_t r = take_word(request, &id, SMALLEST_REQUEST);
  require(r == sizeof (id), SOURCE, 61, "r == sizeof (id)");
  if (owner_ && id != owner_) return;

  int32_t num_requests = 0;
  r = take_word(request, &num_requests, SMALLEST_REQUEST - 4);
  require(r == sizeof (num_requests), SOURCE, 68, "r == sizeof (num_requests)");
  require(num_requests <= MAX_REQUESTS, SOURCE, 72, "num_requests <= MAX_REQUESTS");
  // A count of 0 or below asks for no bytes, which the reader's own
  // precondition refuses: none of such a request's commands ever runs.
  // The header size is only multiplied by a count of 1..MAX_REQUESTS: a
  // large negative count would overflow, and could wrap to a positive
  // length beyond headers_.
  const int32_t header_bytes =
      num_requests > 0 ? static_cast<int32_t>(sizeof(header_t)) * num_requests : 0;
  r = request.take(headers_, header_bytes, header_bytes);
  require(r, SOURCE, 75, "r");
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
    require(m, SOURCE, 80, "m");
    require(m->txlen + tx_count <= J5_SCAN_MAX_TX, SOURCE, 82,
            "m->txlen + tx_count <= J5_SCAN_MAX_TX");
    if (m->txlen) {
      r = request.take(tx_pool_ + tx_count, m->txlen, tx_declared);
      require(r, SOURCE, 85, "r");
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
    require(r >= static_cast<int32_t>(sizeof (p)), SOURCE, 121, "r == sizeof (p)");
    require(r == static_cast<int32_t>(sizeof (p)) + std::max(k, 0), SOURCE, 129, "r == result");
  }
}
