// The server side of the scan request protocol (scan/j5_scan_protocol.h
// describes the request and its reply): the scan service that owns the
// line-card scan hardware and runs the commands clients send.
#ifndef SCAN_J5_SCAN_SERVER_H
#define SCAN_J5_SCAN_SERVER_H

#include <cstdint>
#include <functional>

#include "scan/j5_scan_protocol.h"
#include "scan/qb_server.h"

// One command on the line-card hardware: places at most rxlen reply bytes
// in rxbuf and returns the reply length, negative for a failure.
using j5_scan_primitive_fn = std::function<int32_t(int32_t slot, int32_t op, int32_t txlen,
                                                   const uint8_t* txbuf, int32_t rxlen,
                                                   uint8_t* rxbuf)>;

// The controller's scan primitive. This build carries no scan hardware
// driver: it touches nothing and answers every command with length 0.
int32_t j5_scan_primitive(int32_t slot, int32_t op, int32_t txlen, const uint8_t* txbuf,
                          int32_t rxlen, uint8_t* rxbuf);

// Server side of the protocol, run from the qb_server_t accept loop. One
// client id at a time may own the service (grab/release); a request from
// another id while it is owned is dropped after its id word, unanswered.
// Every request is checked whole (headers, lengths, transmit total) before
// any of its commands runs. A request that has arrived is read in two
// reads (its first header, then its transmit bytes), never past its end,
// and each command is answered in one write. Works only in fixed buffers:
// no allocation per request.
class j5_scan_server_t : public qb_server_t {
 public:
  // Commands other than grab and release go to `primitive`.
  explicit j5_scan_server_t(j5_scan_primitive_fn primitive = j5_scan_primitive);

  // Serves one request on `fd`; the accept loop closes it afterwards.
  void handle(int32_t fd) override;

  // The wire header of one command, in wire order.
  struct header_t {
    int32_t slot;
    int32_t op;
    int32_t rxlen;
    int32_t txlen;
  };
  // Returns `header` when its slot and lengths are within the limits;
  // throws otherwise.
  const header_t* check_command(const header_t* header);
  // Checks the arguments and runs the command on the primitive.
  int32_t scan(int32_t slot, int32_t op, int32_t txlen, const uint8_t* txbuf, int32_t rxlen,
               uint8_t* rxbuf);

  int32_t owner() const { return owner_; }

 private:
  j5_scan_primitive_fn primitive_;
  uint8_t tx_pool_[J5_SCAN_MAX_TX];
  uint8_t rx_buffer_[J5_SCAN_MAX_RX];
  header_t headers_[MAX_REQUESTS];
  int32_t owner_ = 0;
};

#endif
