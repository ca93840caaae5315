// Fuzz target: Vorn_Serial's configuration and status records, fed by a
// card whose replies come from the fuzz input. Vorn_Serial only talks
// through the scan client, so a real scan server runs in a thread of this
// process on a free port of 127.0.0.1.
//
// The input is read front to back: one byte picks the next operation
// (config, read, probe, get_info, get_scaled_info, write_control) and any
// arguments follow it; every command that reaches the card side takes its
// reply from the input in turn: a 16-bit signed count (-2 "no card", other
// negative counts, counts over the reply room), then min(count, rxlen)
// reply bytes, zeros once the input is used up.
#include <pthread.h>
#include <signal.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>

#include "common/exception.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/loopback.h"
#include "serial/vorn_serial.h"

namespace {

const int MAX_OPERATIONS = 32;

// The card side's view of the current input.
std::mutex card_mutex;
input_reader_t card_input(nullptr, 0);

int32_t card_answer(int32_t, int32_t, int32_t, const uint8_t*, int32_t rxlen, uint8_t* rxbuf) {
  std::lock_guard<std::mutex> lock(card_mutex);
  const int32_t count = card_input.int16();
  memset(rxbuf, 0, rxlen);
  if (count > 0) card_input.take(rxbuf, static_cast<size_t>(count < rxlen ? count : rxlen));
  return count;
}

// The service thread starts with SIGALRM blocked: libFuzzer's timeout
// timer raises it every few seconds, and a blocking read it interrupts
// fails with EINTR, which the scan transport takes for a broken connection.
// (The client side, this thread, keeps it so that timeouts still work; a
// rare interrupted exchange fails its operation like a lost connection.)
int32_t service_port() {
  static const int32_t port = [] {
    sigset_t alarm, previous;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, &previous);
    const int32_t p = unused_loopback_port();
    serve_in_background<j5_scan_server_t>(p, card_answer);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return p;
  }();
  return port;
}

class fuzz_vorn_serial_t : public Vorn_Serial {
 public:
  explicit fuzz_vorn_serial_t(int32_t server_port) : Vorn_Serial("127.0.0.1", 8, 4) {
    port = server_port;
  }
};

// What must hold after every operation, whatever the card answered.
void check(const Vorn_Serial& serial) {
  int elements = 0;
  for (const type_node* e = serial.types.next; e; e = e->next) {
    elements++;
    // Only the last element may lack its record, and a record knows its
    // 1-based place among the type bytes.
    if (!e->info && e->next) __builtin_trap();
    if (e->info) {
      const int position = *static_cast<const int*>(e->info);
      if (position != elements) __builtin_trap();
    }
  }
  if (elements > 255) __builtin_trap();
  for (const char* s : serial.config_strings) {
    if (strnlen(s, Vorn_Serial::CONFIG_STRING_SIZE) == Vorn_Serial::CONFIG_STRING_SIZE) {
      __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  silence_stdout();
  const int32_t port = service_port();
  // The operations and the replies share one reader of the input.
  {
    std::lock_guard<std::mutex> lock(card_mutex);
    card_input = input_reader_t(data, size);
  }
  auto take_operation = [&]() -> int {
    std::lock_guard<std::mutex> lock(card_mutex);
    return card_input.empty() ? -1 : card_input.byte();
  };
  auto take_byte = [&]() -> int {
    std::lock_guard<std::mutex> lock(card_mutex);
    return card_input.byte();
  };

  auto serial = std::make_unique<fuzz_vorn_serial_t>(port);
  for (int k = 0; k < MAX_OPERATIONS; k++) {
    const int operation = take_operation();
    if (operation < 0) break;
    try {
      switch (operation % 6) {
        case 0: serial->config(); break;
        case 1: serial->read(); break;
        case 2: serial->probe(); break;
        case 3: {
          const int type = take_byte();
          const int index = take_byte() % 4;
          const void* record = serial->get_info(type, index);
          if (!record) __builtin_trap();
          break;
        }
        case 4: {
          const vorn_scaled_record_t* record = serial->get_scaled_info(take_byte() % 4);
          if (!record) __builtin_trap();
          break;
        }
        case 5: {
          const int type = take_byte();
          const int index = take_byte() % 4;
          serial->write_control(type, index, take_byte(), take_byte());
          break;
        }
      }
    } catch (const exception_t&) {
      // A faulty reply: the operation fails, the object stays usable.
    }
    check(*serial);
  }
  std::lock_guard<std::mutex> lock(card_mutex);
  card_input = input_reader_t(nullptr, 0);  // the input goes away after this call
  return 0;
}
