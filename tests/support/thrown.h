// Helpers shared by the unit tests.
#ifndef COMMON_TEST_SUPPORT_H
#define COMMON_TEST_SUPPORT_H

#include <functional>
#include <string>

#include "common/exception.h"

// The message of the exception_t that `action` throws, or
// "(nothing thrown)".
inline std::string thrown_message(const std::function<void()>& action) {
  try {
    action();
  } catch (const exception_t& e) {
    return e.message;
  }
  return "(nothing thrown)";
}

#endif
