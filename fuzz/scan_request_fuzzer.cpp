// Fuzz target: one request to the scan server, through a socket pair into
// j5_scan_server_t::handle, with the replies drained and checked.
//
// Input: byte 0, bit 0 set: the service is held by client id 6 before the
// request (a grab from id 6 is served first); bytes 1-4: the count, big-
// endian, that the card side answers every command with (larger than rxlen
// and negative counts included); the rest: the request as sent on the
// wire. The card side fills its reply room from the request bytes.
#include <arpa/inet.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "common/exception.h"
#include "fuzz/fuzz_support.h"
#include "scan/j5_scan_server.h"

namespace {

using bytes = std::vector<uint8_t>;

int32_t wire_word(const uint8_t* p) {
  return static_cast<int32_t>(uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 |
                              uint32_t{p[3]});
}

// The server side of every connection runs in one thread of its own, so
// that this thread can write the request and drain the answer meanwhile
// (neither side waits on a full socket). That thread has SIGALRM blocked:
// libFuzzer's timeout timer raises it every few seconds, and a blocking
// read it interrupts fails with EINTR, which the scan transport takes for
// a broken connection. This side retries what a signal interrupts.
class server_side_t {
 public:
  server_side_t() {
    sigset_t alarm, previous;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, &previous);
    std::thread([this] { run(); }).detach();  // lives as long as the process
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }

  // Has `server` handle `fd` and close it; finish() waits for that and
  // tells whether handle threw.
  void start(j5_scan_server_t* server, int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    server_ = server;
    fd_ = fd;
    state_ = PENDING;
    changed_.notify_all();
  }
  bool finish() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return state_ == DONE; });
    state_ = IDLE;
    return threw_;
  }

 private:
  enum state_t { IDLE, PENDING, DONE };
  void run() {
    for (;;) {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return state_ == PENDING; });
      j5_scan_server_t* server = server_;
      const int fd = fd_;
      lock.unlock();
      bool threw = false;
      try {
        server->handle(fd);
      } catch (const exception_t&) {
        threw = true;  // a malformed request costs only its connection
      }
      close(fd);
      lock.lock();
      threw_ = threw;
      state_ = DONE;
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  state_t state_ = IDLE;
  j5_scan_server_t* server_ = nullptr;
  int fd_ = -1;
  bool threw_ = false;
};

// Serves `request` on one end of a socket pair; returns every byte the
// server wrote, and whether handle threw.
bytes serve(j5_scan_server_t& server, const bytes& request, bool* threw) {
  static server_side_t* const server_side = new server_side_t;  // never destroyed
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
  server_side->start(&server, fds[0]);
  for (size_t sent = 0; sent < request.size();) {
    const ssize_t n = send(fds[1], request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the server stopped reading and closed
    sent += static_cast<size_t>(n);
  }
  shutdown(fds[1], SHUT_WR);
  bytes answer;
  uint8_t buffer[8192];
  for (;;) {
    const ssize_t n = read(fds[1], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    answer.insert(answer.end(), buffer, buffer + n);
  }
  *threw = server_side->finish();
  close(fds[1]);
  return answer;
}

// The length of the answer to a well-formed request: per command the count
// word, then min(count, rxlen) bytes when that is above 0. Grab and release
// answer 1 (or -1 while another id holds the service).
size_t expected_answer_size(const bytes& request, int32_t owner, int32_t count) {
  const int32_t id = wire_word(request.data());
  if (owner && id != owner) return 0;
  const int32_t n = wire_word(request.data() + 4);
  size_t size = 0;
  for (int32_t i = 0; i < n; i++) {
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
  const bool held = data[0] & 1;
  const int32_t count = wire_word(data + 1);
  const bytes request(data + 5, data + size);

  int32_t calls = 0;
  j5_scan_server_t server([&](int32_t slot, int32_t, int32_t txlen, const uint8_t* txbuf,
                              int32_t rxlen, uint8_t* rxbuf) {
    // handle checks every command before any runs: the card side only ever
    // sees commands within the limits.
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
  if (held) {
    const bytes grab = {0, 0, 0, 6, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};
    serve(server, grab, &threw);
    if (threw || server.owner() != 6) __builtin_trap();
  }
  const int32_t owner = server.owner();
  const bytes answer = serve(server, request, &threw);
  if (!threw) {
    // Served whole: the answer is exactly as long as the protocol says.
    if (answer.size() != expected_answer_size(request, owner, count)) __builtin_trap();
  } else if (calls > 0) {
    // A request refused by its checks runs none of its commands (the peer
    // reads every reply, so no reply write can fail).
    __builtin_trap();
  }
  return 0;
}
