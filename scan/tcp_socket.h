// What both TCP endpoints of the scan transport do to their sockets.
#ifndef SCAN_TCP_SOCKET_H
#define SCAN_TCP_SOCKET_H

#include <cstdint>
#include <netinet/in.h>

// The IPv4 socket address of `address` (network byte order) and `port`.
sockaddr_in ipv4_address(int32_t port, in_addr_t address);

// Both ends of every connection send at once: requests go out in several
// small writes, and no reply may wait on Nagle's algorithm meeting a
// delayed ACK.
void disable_nagle(int fd);

#endif
