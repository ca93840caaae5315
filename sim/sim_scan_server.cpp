#include "sim/sim_scan_server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/exception.h"

namespace {

// Whether the client has closed its sending end (or the connection is
// gone), without reading anything.
bool client_hung_up(int fd) {
  pollfd p = {fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

uint32_t word_at(const uint8_t* bytes) {
  uint32_t wire;
  memcpy(&wire, bytes, sizeof wire);
  return ntohl(wire);
}

// Whether the request waiting on fd asks for a grab: looks at the headers
// already received (id, count, then slot, op, rxlen, txlen per command)
// without consuming them.
bool asks_for_grab(int fd) {
  const size_t header_start = 8, header_size = 16, op_offset = 4;
  uint8_t request[header_start + header_size * MAX_REQUESTS];
  const ssize_t received = recv(fd, request, sizeof request, MSG_PEEK | MSG_DONTWAIT);
  if (received < ssize_t(header_start)) return false;
  const int32_t count = int32_t(word_at(request + 4));
  for (int32_t i = 0; i < count && i < MAX_REQUESTS; i++) {
    const size_t op = header_start + header_size * i + op_offset;
    if (op + 4 > size_t(received)) break;
    if (word_at(request + op) == uint32_t(J5_SCAN_OP_GRAB)) return true;
  }
  return false;
}

}  // namespace

sim_scan_server_t::sim_scan_server_t(j5_scan_primitive_fn primitive, int idle_seconds)
    : j5_scan_server_t(std::move(primitive)), idle_seconds_(idle_seconds) {}

void sim_scan_server_t::handle(int32_t fd) {
  const timeval idle = {idle_seconds_, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &idle, sizeof idle);
  if (client_hung_up(fd) && asks_for_grab(fd)) {
    printf("scan_sim: a grab whose client has hung up, not applied\n");
    return;
  }
  errno = 0;
  try {
    j5_scan_server_t::handle(fd);
  } catch (const exception_t&) {
    // A read or write that timed out leaves errno at EAGAIN.
    if (errno != EAGAIN && errno != EWOULDBLOCK) throw;
    printf("scan_sim: a connection idle for %d s, dropped\n", idle_seconds_);
  }
}
