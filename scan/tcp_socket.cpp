#include "scan/tcp_socket.h"

#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstring>

sockaddr_in ipv4_address(int32_t port, in_addr_t address) {
  sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = address;
  return a;
}

void disable_nagle(int fd) {
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}
