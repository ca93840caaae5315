// The TCP/IPv4 server endpoint of the scan transport: serves connections
// one at a time (scan/qb_client.h is the client's end).
#ifndef SCAN_QB_SERVER_H
#define SCAN_QB_SERVER_H

#include <cstdint>
#include <functional>
#include <netinet/in.h>

#include "scan/qb_literate.h"

// Listens on a port and hands each accepted connection to handle(), one
// at a time. An exception_t out of handle() costs only that connection:
// its message goes to standard output and the next client is served.
class qb_server_t : public qb_literate_t {
 public:
  virtual void handle(int32_t fd) = 0;
  virtual ~qb_server_t() = default;

  // Listens on `address` (every interface by default, as on the switch),
  // calls `listening` (when given) once clients can connect, and serves
  // forever. Leaves only by an exception: a failed socket, bind or listen
  // throws "error qb_server:LINE (reason)".
  void serve(int32_t port, int32_t backlog, in_addr_t address = INADDR_ANY,
             const std::function<void()>& listening = nullptr);
};

#endif
