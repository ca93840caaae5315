// The scan request protocol: how a client hands batches of scan commands
// for the line-card slots to the scan service, and how the service answers.
//
// Request, one per TCP connection, every integer a 32-bit big-endian word:
//   id, n, then n headers (slot, op, rxlen, txlen), then the transmit bytes.
// The client sends each header followed by its transmit bytes; the server
// reads all headers before any transmit bytes, so the two agree whenever
// only the last command of a batch carries transmit bytes (true of every
// request this tool sends). Reply, per command in order: the count (the
// command's signed result), then min(count, rxlen) reply bytes when above 0.
#ifndef SCAN_J5_SCAN_SERVER_H
#define SCAN_J5_SCAN_SERVER_H

#include <cstdint>
#include <functional>

#include "scan/qb_server.h"

const int32_t J5_SCAN_NUM_SLOTS = 32;
const int32_t J5_SCAN_MAX_TX = 4094;
const int32_t J5_SCAN_MAX_RX = 4096;
const int32_t MAX_REQUESTS = 100;
const int32_t J5_SCAN_PORT = 1971;

// Ops the service interprets itself; every other op goes to the cards.
const int32_t J5_SCAN_OP_GRAB = 1;
const int32_t J5_SCAN_OP_RELEASE = 2;

// One scan command as the caller prepares it. The caller owns the buffers.
struct j5_scan_command_t {
  int32_t op;
  int32_t slot;
  int32_t txlen;
  int32_t rxlen;
  const uint8_t* txbuf;
  uint8_t* rxbuf;
  // Written by execute: the reply length the service reported, unclamped
  // (it may exceed rxlen, and is negative when the command failed).
  int32_t rxcount;
};

// Client of the scan service. Holds no connection: every execute, grab and
// release opens its own and closes it before returning.
class j5_scan_client_t : public qb_client_t {
 public:
  j5_scan_client_t(const char* host, int32_t id);

  // Sends the batch and reads every reply: rxcount of each command and up
  // to rxlen reply bytes into its rxbuf. Returns 1 when the whole exchange
  // worked, 0 when the connection could not be opened or any transfer
  // failed. The commands' own outcomes are in rxcount and rxbuf. Throws on
  // an empty batch, a slot outside 0..31 or a length without a buffer.
  int32_t execute(int32_t num_commands, j5_scan_command_t* commands);
  // Takes exclusive use of the service for this client id: 1, or 0.
  int32_t grab();
  // Gives the service back (also succeeds when it was free): 1, or 0.
  int32_t release();

 protected:
  int32_t id;

 private:
  int32_t service_command(int32_t op);
};

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
// any of its commands runs. Works only in fixed buffers: no allocation per
// request.
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
