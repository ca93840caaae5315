#include "common/exception.h"

#include <cstdarg>
#include <cstdio>

exception_t::exception_t(const char* format, ...) : code(6) {
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
}

exception_t::exception_t(int code_value) : message{}, code(code_value) {}

void exception_t::print() const {
  if (message[0] != '\0') puts(message);
}

void throw_assertion(const char* source, int line, const char* condition) {
  throw exception_t("assertion failed. %s:%d (%s)", source, line, condition);
}
