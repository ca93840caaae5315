// Test helpers for code that talks TCP on the loopback interface.
#ifndef TESTS_SUPPORT_LOOPBACK_H
#define TESTS_SUPPORT_LOOPBACK_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/exception.h"
#include "scan/j5_scan_client.h"
#include "scan/j5_scan_server.h"

// 32-bit words as they travel on the scan service's wire: big-endian.
inline std::vector<uint8_t> wire_words(std::initializer_list<int32_t> values) {
  std::vector<uint8_t> out;
  for (int32_t v : values) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(uint32_t(v) >> shift));
  }
  return out;
}

// A TCP port on 127.0.0.1 that nothing listens on right now.
inline int32_t unused_loopback_port() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t length = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
  close(s);
  return ntohs(a.sin_port);
}

// Waits up to a minute (a sanitized or emulated server on a busy machine
// may take seconds) until port `port` of this machine is in the LISTEN
// state (0A) in /proc/net/tcp. Probing with a connection instead would hand
// the server an empty request.
inline bool wait_for_listener(int32_t port) {
  char wanted[32];
  snprintf(wanted, sizeof wanted, ":%04X 00000000:0000 0A", static_cast<unsigned>(port));
  for (int attempt = 0; attempt < 60000; attempt++) {
    std::ifstream table("/proc/net/tcp");
    for (std::string line; std::getline(table, line);) {
      if (line.find(wanted) != std::string::npos) return true;
    }
    usleep(1000);
  }
  return false;
}

// While one lives, this thread, and every thread it starts, has SIGALRM
// blocked: a fuzzer's timeout timer raises it every few seconds, and a
// blocking call it interrupts fails with EINTR, which the scan transport
// takes for a broken connection. Test servers start their threads so.
class alarm_blocked {
 public:
  alarm_blocked() {
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, &previous_);
  }
  ~alarm_blocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

 private:
  sigset_t previous_;
};

// Makes a Server from `args` and runs its serve() on 127.0.0.1:port in a
// thread of its own. The accept loop never returns, so the server is never
// destroyed (a static one would be, while its thread may still serve).
template <typename Server, typename... Args>
Server& serve_in_background(int32_t port, Args&&... args) {
  Server* server = new Server(std::forward<Args>(args)...);
  const alarm_blocked blocked;
  std::thread([server, port] {
    try {
      server->serve(port, 8, htonl(INADDR_LOOPBACK));
    } catch (const exception_t& e) {  // the port is taken: no result would mean anything
      fprintf(stderr, "test server on port %d: %s\n", port, e.message);
      _exit(1);
    }
  }).detach();
  wait_for_listener(port);
  return *server;
}

// A scan client with client id `id` for a test server on 127.0.0.1:port.
class test_scan_client_t : public j5_scan_client_t {
 public:
  explicit test_scan_client_t(int32_t server_port, int32_t client_id = J5_SCAN_ID_FLASH_X3)
      : j5_scan_client_t("127.0.0.1", client_id) {
    port = server_port;
  }
};

#endif
