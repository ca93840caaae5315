// Vorn_Serial's configuration and status records, from a card whose
// replies come from the input, behind a real scan server in a thread of
// this process on a free port of 127.0.0.1.
// The input is read front to back: a byte picks the next operation
// (config, read, probe, get_info, get_scaled_info, write_control), its
// arguments follow; every command that reaches the card takes its reply
// from the input in turn: a 16-bit signed count, then min(count, rxlen)
// bytes, zeros once the input is used up.
#include <cstring>
#include <mutex>

#include "common/exception.h"
#include "fuzz/fuzz_support.h"
#include "serial/vorn_serial.h"
#include "tests/support/loopback.h"

namespace {

// The rest of the input, shared by the operations and the card side.
std::mutex input_mutex;
const uint8_t* input = nullptr;
size_t input_left = 0;

bool input_ended() {
  std::lock_guard<std::mutex> lock(input_mutex);
  return input_left == 0;
}
uint8_t take_byte() {
  std::lock_guard<std::mutex> lock(input_mutex);
  if (input_left == 0) return 0;
  input_left--;
  return *input++;
}

int32_t card_answer(int32_t, int32_t, int32_t, const uint8_t*, int32_t rxlen, uint8_t* rxbuf) {
  const uint8_t hi = take_byte();
  const int32_t count = static_cast<int16_t>(hi << 8 | take_byte());
  for (int32_t k = 0; k < rxlen; k++) rxbuf[k] = k < count ? take_byte() : 0;
  return count;
}

class fuzz_vorn_serial_t : public Vorn_Serial {
 public:
  explicit fuzz_vorn_serial_t(int32_t server_port) : Vorn_Serial("127.0.0.1", 8, 4) { port = server_port; }
};

// What must hold after every operation, whatever the card answered: only
// the last element may lack its record, a record knows its 1-based place
// among the type bytes, and every string is terminated.
void check(const Vorn_Serial& serial) {
  int elements = 0;
  for (const type_node* e = serial.types.next; e; e = e->next) {
    elements++;
    if (!e->info && e->next) __builtin_trap();
    if (e->info && *static_cast<const int*>(e->info) != elements) __builtin_trap();
  }
  if (elements > 255) __builtin_trap();
  for (const char* s : serial.config_strings) {
    if (strnlen(s, Vorn_Serial::CONFIG_STRING_SIZE) == Vorn_Serial::CONFIG_STRING_SIZE) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  silence_stdout();
  static const int32_t port = [] {
    const int32_t p = unused_loopback_port();
    serve_in_background<j5_scan_server_t>(p, card_answer);
    return p;
  }();
  {
    std::lock_guard<std::mutex> lock(input_mutex);
    input = data;
    input_left = size;
  }
  fuzz_vorn_serial_t serial(port);
  for (int k = 0; k < 32 && !input_ended(); k++) {
    try {
      switch (take_byte() % 6) {
        case 0: serial.config(); break;
        case 1: serial.read(); break;
        case 2: serial.probe(); break;
        case 3: {
          const int type = take_byte();
          if (!serial.get_info(type, take_byte() % 4)) __builtin_trap();
          break;
        }
        case 4:
          if (!serial.get_scaled_info(take_byte() % 4)) __builtin_trap();
          break;
        case 5: {
          const int type = take_byte(), index = take_byte() % 4, v1 = take_byte();
          serial.write_control(type, index, v1, take_byte());
          break;
        }
      }
    } catch (const exception_t&) {
      // A faulty reply: the operation fails, the object stays usable.
    }
    check(serial);
  }
  std::lock_guard<std::mutex> lock(input_mutex);
  input_left = 0;  // the input goes away after this call
  return 0;
}
