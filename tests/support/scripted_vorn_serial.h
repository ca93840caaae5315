// Vorn_Serial against the scripted card, for the microcontroller's unit
// tests.
#ifndef TESTS_SUPPORT_SCRIPTED_VORN_SERIAL_H
#define TESTS_SUPPORT_SCRIPTED_VORN_SERIAL_H

#include <functional>
#include <string>

#include "serial/vorn_serial.h"
#include "tests/support/scripted_card.h"
#include "tests/support/thrown.h"

// A Vorn_Serial for the scripted card, or for `server_port`.
class test_vorn_serial : public Vorn_Serial {
 public:
  explicit test_vorn_serial(int slot = 5, int32_t server_port = scripted_card::get().port())
      : Vorn_Serial("127.0.0.1", J5_SCAN_ID_FLASH_X3, slot) {
    port = server_port;
  }
};

// What `action` printed, and the text it threw.
struct outcome {
  std::string printed, thrown;
};
inline outcome run_capturing(const std::function<void()>& action) {
  testing::internal::CaptureStdout();
  std::string thrown = thrown_message(action);
  return {testing::internal::GetCapturedStdout(), thrown};
}

#endif
