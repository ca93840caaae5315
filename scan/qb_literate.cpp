#include "scan/qb_literate.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

#include "common/exception.h"

namespace {

const char kSource[] = "qb_literate";

// A write to a socket whose peer has closed must be a failed write, not a
// SIGPIPE that kills the CGI program or the scan service.
ssize_t write_some(int fd, const char* data, size_t length, bool more_follows) {
  ssize_t written = send(fd, data, length, MSG_NOSIGNAL | (more_follows ? MSG_MORE : 0));
  if (written < 0 && errno == ENOTSOCK) written = write(fd, data, length);
  return written;
}

}  // namespace

// The `this` half of the documented conditions cannot fail in C++; the
// messages keep the texts field engineers know.
int32_t qb_literate_t::read_all(int32_t fd, void* buffer, int32_t length) {
  require(fd >= 0 && buffer && length > 0, kSource, 12, "fd >= 0 && buffer && length > 0");
  char* bytes = static_cast<char*>(buffer);
  int32_t got = 0;
  while (got < length) {
    ssize_t r = read(fd, bytes + got, length - got);
    if (r <= 0) return 0;
    got += r;
  }
  return got;
}

int32_t qb_literate_t::write_all(int32_t fd, const void* buffer, int32_t length,
                                 bool more_follows) {
  require(fd >= 0 && buffer && length > 0, kSource, 27, "fd >= 0 && buffer && length > 0");
  const char* bytes = static_cast<const char*>(buffer);
  int32_t sent = 0;
  while (sent < length) {
    ssize_t w = write_some(fd, bytes + sent, length - sent, more_follows);
    if (w <= 0) return 0;
    sent += w;
  }
  return sent;
}

int32_t qb_literate_t::read_line(char* buffer, int32_t size, int32_t fd) {
  require(buffer && size > 0, kSource, 43, "buffer && size > 0");
  require(fd >= 0, kSource, 44, "fd >= 0");
  int32_t i = 0;
  int32_t last = 0;
  while (i < size - 1) {
    last = read_all(fd, buffer + i, 1);
    if (last != 1) break;
    if (buffer[i] == '\n' || buffer[i] == '\r') break;
    i++;
  }
  buffer[i] = '\0';
  return last == 1 ? i : -1;
}

int32_t qb_literate_t::fd_printf(int32_t fd, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int size = vsnprintf(buffer_, sizeof buffer_, format, args);
  va_end(args);
  require(size <= MAX_PUTS, kSource, 58, "size <= MAX_PUTS");
  return write_all(fd, buffer_, size);
}
