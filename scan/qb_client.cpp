#include "scan/qb_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/exception.h"
#include "scan/tcp_socket.h"

namespace {

// The TCP endpoint's checks name it qb_server, client and server alike.
const char SOURCE[] = "qb_server";

}  // namespace

qb_client_t::qb_client_t(const char* host_name, int32_t port_number) : port(port_number) {
  // A longer name would leave the field unterminated; keep 299 characters.
  strncpy(host, host_name, HOST_SIZE - 1);
  host[HOST_SIZE - 1] = '\0';
}

bool qb_client_t::resolve(const char* host_name, in_addr* address) {
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
  require(host_name && port_number, SOURCE, 76, "host && port");
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
