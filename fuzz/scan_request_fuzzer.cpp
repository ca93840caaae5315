// One request to the scan server, through a socket pair into
// j5_scan_server_t::handle, with the answer drained and checked.
// Input: byte 0, bit 0 set: client id 6 holds the service before the
// request; bytes 1-4: the count (big-endian) that the card side answers
// every command with, negative and above rxlen included; the rest: the
// request as sent on the wire.
#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "scan/j5_scan_server.h"
#include "tests/support/socket_pair.h"

namespace {

using bytes = std::vector<uint8_t>;

int32_t wire_word(const uint8_t* p) {
  return static_cast<int32_t>(uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]);
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
  const auto handle = [&](int fd) { server.handle(fd); };
  if (data[0] & 1) {
    const bytes grab = {0, 0, 0, 6, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
    if (serve_over_socket_pair(handle, grab, false).thrown != NOTHING_THROWN || server.owner() != 6) {
      __builtin_trap();
    }
  }
  const int32_t owner = server.owner();
  // A malformed request costs only its connection. Served whole, the
  // answer is exactly as long as the protocol says; a request refused by
  // its checks runs none of its commands.
  const served s = serve_over_socket_pair(handle, request, false);
  const bool threw = s.thrown != NOTHING_THROWN;
  if (!threw && s.answer.size() != expected_answer_size(request, owner, count)) __builtin_trap();
  if (threw && calls > 0) __builtin_trap();
  return 0;
}
