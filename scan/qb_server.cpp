#include "scan/qb_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/exception.h"

namespace {

const char kSource[] = "qb_server";
const char LOCALHOST[] = "localhost";

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

[[noreturn]] void throw_system_error(int line) {
  throw exception_t("error %s:%d (%s)", kSource, line, strerror(errno));
}

}  // namespace

qb_client_t::qb_client_t(const char* host_name, int32_t port_number) : port(port_number) {
  // A longer name would leave the field unterminated; keep 299 characters.
  strncpy(host, host_name, HOST_SIZE - 1);
  host[HOST_SIZE - 1] = '\0';
}

bool qb_client_t::resolve(const char* host_name, in_addr* address) {
  // "localhost" is the loopback address by definition, and it is where
  // the scan service listens for the CGI program on the switch. Asking
  // the resolver would read its configuration and the hosts file and map
  // its code, some 500 KiB of the CGI program's resident memory, to learn
  // 127.0.0.1.
  if (strcmp(host_name, LOCALHOST) == 0) {
    address->s_addr = htonl(INADDR_LOOPBACK);
    return true;
  }
  if (resolved_name_[0] != '\0' && strcmp(host_name, resolved_name_) == 0) {
    *address = resolved_address_;
    return true;
  }
  if (hostent* entry = gethostbyname(host_name)) {
    if (entry->h_addrtype != AF_INET || entry->h_length != sizeof *address) return false;
    memcpy(address, entry->h_addr_list[0], sizeof *address);
  } else {
    // Not a name the resolver knows: a dotted IPv4 address, or nothing.
    address->s_addr = inet_addr(host_name);
    if (address->s_addr == INADDR_NONE) return false;
  }
  if (strlen(host_name) < sizeof resolved_name_) {
    strcpy(resolved_name_, host_name);
    resolved_address_ = *address;
  }
  return true;
}

int32_t qb_client_t::open_connection(const char* host_name, int32_t port_number) {
  require(host_name && port_number, kSource, 76, "host && port");
  sockaddr_in address = ipv4_address(port_number, 0);
  if (!resolve(host_name, &address.sin_addr)) return -1;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  disable_nagle(fd);
  return fd;
}

void qb_server_t::serve(int32_t port, int32_t backlog, in_addr_t address) {
  require(port > 0, kSource, 20, "this && port > 0");
  sockaddr_in local = ipv4_address(port, address);
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s <= 0) throw_system_error(27);
  int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) throw_system_error(33);
  if (listen(s, backlog) < 0) throw_system_error(36);
  for (;;) {
    sockaddr_in peer;
    socklen_t peer_length = sizeof peer;
    int c = accept(s, reinterpret_cast<sockaddr*>(&peer), &peer_length);
    if (c <= 0) {
      // Descriptor 0 is never a client. When accept keeps failing (out of
      // descriptors, say), pause briefly instead of spinning.
      if (c == 0) close(c);
      else if (errno != EINTR && errno != ECONNABORTED) usleep(10000);
      continue;
    }
    disable_nagle(c);
    try {
      handle(c);
    } catch (const exception_t& e) {
      e.print();
      fflush(stdout);
    }
    close(c);
  }
}
