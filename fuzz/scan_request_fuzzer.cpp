// One request to the scan server, through a socket pair into
// j5_scan_server_t::handle, with the answer drained and checked.
// Input: byte 0, bit 0 set: client id 6 holds the service before the
// request; bytes 1-4: the count (big-endian) that the card side answers
// every command with, negative and above rxlen included; the rest: the
// request as sent on the wire.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "common/exception.h"
#include "fuzz/fuzz_support.h"
#include "scan/j5_scan_server.h"

namespace {

using bytes = std::vector<uint8_t>;

int32_t wire_word(const uint8_t* p) {
  return static_cast<int32_t>(uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]);
}

// Serves `request` on one end of a socket pair from a thread of its own,
// while this one writes the request and drains the answer, so neither
// side waits on a full socket. Returns every byte the server wrote.
bytes serve(j5_scan_server_t& server, const bytes& request, bool* threw) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
  *threw = false;
  std::thread server_side = without_alarm([&] {
    return std::thread([&] {
      try {
        server.handle(fds[0]);
      } catch (const exception_t&) {
        *threw = true;  // a malformed request costs only its connection
      }
      close(fds[0]);
    });
  });
  for (size_t sent = 0; sent < request.size();) {
    const ssize_t n = send(fds[1], request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the server stopped reading and closed
    sent += static_cast<size_t>(n);
  }
  shutdown(fds[1], SHUT_WR);
  bytes answer;
  uint8_t buffer[8192];
  for (ssize_t n; (n = read(fds[1], buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno != EINTR) break;
    if (n > 0) answer.insert(answer.end(), buffer, buffer + n);
  }
  server_side.join();
  close(fds[1]);
  return answer;
}

// The length of the answer to a well-formed request: per command the count
// word, then min(count, rxlen) bytes when that is above 0. Grab and release
// answer 1, or -1 while another id holds the service.
size_t expected_answer_size(const bytes& request, int32_t owner, int32_t count) {
  const int32_t id = wire_word(request.data());
  if (owner && id != owner) return 0;
  size_t size = 0;
  for (int32_t i = 0; i < wire_word(request.data() + 4); i++) {
    const uint8_t* h = request.data() + 8 + 16 * i;
    const int32_t op = wire_word(h + 4), rxlen = wire_word(h + 8);
    int32_t result = count;
    if (op == J5_SCAN_OP_GRAB || op == J5_SCAN_OP_RELEASE) {
      result = owner == 0 || owner == id ? 1 : -1;
      if (result == 1) owner = op == J5_SCAN_OP_GRAB ? id : 0;
    }
    size += 4 + static_cast<size_t>(std::max(0, std::min(result, rxlen)));
  }
  return size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5 || size > (1 << 20)) return 0;
  silence_stdout();
  const int32_t count = wire_word(data + 1);
  const bytes request(data + 5, data + size);
  int32_t calls = 0;
  j5_scan_server_t server([&](int32_t slot, int32_t, int32_t txlen, const uint8_t* txbuf,
                              int32_t rxlen, uint8_t* rxbuf) {
    // handle checks every command before any runs.
    if (slot < 0 || slot >= J5_SCAN_NUM_SLOTS || txlen < 0 || txlen > J5_SCAN_MAX_TX ||
        rxlen < 0 || rxlen > J5_SCAN_MAX_RX || !txbuf || !rxbuf) {
      __builtin_trap();
    }
    calls++;
    memset(rxbuf, 0, rxlen);
    memcpy(rxbuf, request.data(), std::min<size_t>(request.size(), rxlen));
    return count;
  });
  bool threw = false;
  if (data[0] & 1) {
    const bytes grab = {0, 0, 0, 6, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
    serve(server, grab, &threw);
    if (threw || server.owner() != 6) __builtin_trap();
  }
  const int32_t owner = server.owner();
  const bytes answer = serve(server, request, &threw);
  // Served whole, the answer is exactly as long as the protocol says; a
  // request refused by its checks runs none of its commands.
  if (!threw && answer.size() != expected_answer_size(request, owner, count)) __builtin_trap();
  if (threw && calls > 0) __builtin_trap();
  return 0;
}
