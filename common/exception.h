// The one failure object of the tool, and the assertion convention every
// module uses for broken preconditions.
#ifndef COMMON_EXCEPTION_H
#define COMMON_EXCEPTION_H

#include <cstdint>

// A formatted failure text and a code, thrown by value and caught by
// reference. Only the CGI entry and the TCP accept loop catch it.
// The message is always terminated: a longer text keeps its first 199
// characters.
class exception_t {
 public:
  static const int MESSAGE_SIZE = 200;

  // Formats like printf; sets the code to 6.
  explicit exception_t(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // An empty message and the given code.
  explicit exception_t(int code);

  // Writes the message and a newline to standard output (puts); nothing
  // when the message is empty.
  void print() const;

  const char* what() const { return message; }

  char message[MESSAGE_SIZE];
  int32_t code;
};

// Throws "assertion failed. SOURCE:LINE (CONDITION)".
[[noreturn]] void throw_assertion(const char* source, int line, const char* condition);

// The assertion convention: every check names the source file that holds
// it, a fixed line number and the condition text that field engineers know
// it by, so a message on a results page points at one check.
inline void require(bool holds, const char* source, int line, const char* condition) {
  if (!holds) throw_assertion(source, line, condition);
}

#endif
