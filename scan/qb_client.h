// The TCP/IPv4 client endpoint of the scan transport: opens one
// connection per use (scan/qb_server.h is the server's end).
#ifndef SCAN_QB_CLIENT_H
#define SCAN_QB_CLIENT_H

#include <cstdint>
#include <netinet/in.h>

#include "scan/qb_literate.h"

// Remembers a server's host and port; opens connections on demand and
// keeps none open. Both ends of every connection set TCP_NODELAY: requests
// go out in several small writes, and no reply may wait on Nagle's
// algorithm meeting a delayed ACK.
class qb_client_t : public qb_literate_t {
 public:
  static const int HOST_SIZE = 300;

  // Keeps at most 299 characters of `host`, always terminated.
  qb_client_t(const char* host, int32_t port);

  // A connected stream socket to host:port (a name or dotted IPv4
  // address; only the first address of a name is tried), or -1. Connects
  // to its arguments, not to the object's host and port. The caller closes
  // the descriptor.
  int32_t open_connection(const char* host, int32_t port);

  const char* host_name() const { return host; }
  int32_t port_number() const { return port; }

 protected:
  char host[HOST_SIZE];
  int32_t port;

 private:
  bool resolve(const char* host_name, in_addr* address);

  // Resolving a name reads the hosts file every time, and an upgrade opens
  // some 4,100 connections to the same host: the address of the last name
  // resolved is kept.
  char resolved_name_[HOST_SIZE] = {};
  in_addr resolved_address_ = {};
};

#endif
