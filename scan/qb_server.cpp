#include "scan/qb_server.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "common/exception.h"
#include "scan/tcp_socket.h"

namespace {

const char SOURCE[] = "qb_server";

[[noreturn]] void throw_system_error(int line) {
  throw exception_t("error %s:%d (%s)", SOURCE, line, strerror(errno));
}

}  // namespace

void qb_server_t::serve(int32_t port, int32_t backlog, in_addr_t address,
                        const std::function<void()>& listening) {
  require(port > 0, SOURCE, 20, "this && port > 0");
  sockaddr_in local = ipv4_address(port, address);
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s <= 0) throw_system_error(27);
  int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) throw_system_error(33);
  if (listen(s, backlog) < 0) throw_system_error(36);
  if (listening) listening();
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
