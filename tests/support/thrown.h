// Helpers shared by the unit tests.
#ifndef TESTS_SUPPORT_THROWN_H
#define TESTS_SUPPORT_THROWN_H

#include <functional>
#include <string>

#include "common/exception.h"

// What thrown_message gives when nothing was thrown.
const char* const NOTHING_THROWN = "(nothing thrown)";

// The message of the exception_t that `action` throws, or NOTHING_THROWN.
inline std::string thrown_message(const std::function<void()>& action) {
  try {
    action();
  } catch (const exception_t& e) {
    return e.message;
  }
  return NOTHING_THROWN;
}

#endif
