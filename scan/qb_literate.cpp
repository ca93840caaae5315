#include "scan/qb_literate.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "common/exception.h"

namespace {

const char SOURCE[] = "qb_literate";

// A write to a socket whose peer has closed must be a failed write, not a
// SIGPIPE that kills the CGI program or the scan service. MSG_MORE holds
// the bytes back until a write without it, so that a message written in
// pieces leaves as one segment.
int send_flags(bool more_follows) { return MSG_NOSIGNAL | (more_follows ? MSG_MORE : 0); }

// Sockets take send flags; any other descriptor a plain write.
ssize_t write_some(int fd, const char* data, size_t length, bool more_follows) {
  ssize_t written = send(fd, data, length, send_flags(more_follows));
  if (written < 0 && errno == ENOTSOCK) written = write(fd, data, length);
  return written;
}

// Reads until at least `least` bytes stand in `buffer`, each read taking
// whatever has arrived up to `most`. Returns the number read: less than
// `least` when the stream ended or a read failed first.
int32_t read_at_least(int fd, uint8_t* buffer, int32_t least, int32_t most) {
  int32_t got = 0;
  while (got < least) {
    ssize_t r = read(fd, buffer + got, most - got);
    if (r <= 0) break;
    got += r;
  }
  return got;
}

}  // namespace

// The `this` half of the documented conditions cannot fail in C++; the
// messages keep the texts field engineers know.
int32_t qb_literate_t::read_all(int32_t fd, void* buffer, int32_t length) {
  require(fd >= 0 && buffer && length > 0, SOURCE, 12, "fd >= 0 && buffer && length > 0");
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
  require(fd >= 0 && buffer && length > 0, SOURCE, 27, "fd >= 0 && buffer && length > 0");
  const char* bytes = static_cast<const char*>(buffer);
  int32_t sent = 0;
  while (sent < length) {
    ssize_t w = write_some(fd, bytes + sent, length - sent, more_follows);
    if (w <= 0) return 0;
    sent += w;
  }
  return sent;
}

int32_t qb_literate_t::write_gathered(int32_t fd, iovec* pieces, int32_t count,
                                      bool more_follows) {
  int64_t total = 0;
  for (int32_t i = 0; pieces && i < count; i++) total += pieces[i].iov_len;
  require(fd >= 0 && pieces && count > 0 && total > 0 && total <= INT32_MAX, SOURCE, 27,
          "fd >= 0 && buffer && length > 0");
  int32_t sent = 0;
  for (;;) {
    while (count > 0 && pieces->iov_len == 0) {
      pieces++;
      count--;
    }
    if (count == 0) return sent;
    msghdr message{};
    message.msg_iov = pieces;
    message.msg_iovlen = count;
    ssize_t w = sendmsg(fd, &message, send_flags(more_follows));
    if (w < 0 && errno == ENOTSOCK) w = writev(fd, pieces, count);
    if (w <= 0) return sent;
    sent += w;
    for (; w > 0; pieces++, count--) {
      if (static_cast<size_t>(w) < pieces->iov_len) {
        pieces->iov_base = static_cast<char*>(pieces->iov_base) + w;
        pieces->iov_len -= w;
        break;
      }
      w -= pieces->iov_len;
    }
  }
}

int32_t qb_literate_t::read_line(char* buffer, int32_t size, int32_t fd) {
  require(buffer && size > 0, SOURCE, 43, "buffer && size > 0");
  require(fd >= 0, SOURCE, 44, "fd >= 0");
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
  require(size <= MAX_PUTS, SOURCE, 58, "size <= MAX_PUTS");
  return write_all(fd, buffer_, size);
}

qb_framed_reader_t::qb_framed_reader_t(qb_literate_t& io, int32_t fd, uint8_t* buffer,
                                       int32_t capacity)
    : io_(io), fd_(fd), buffer_(buffer), capacity_(capacity) {}

int32_t qb_framed_reader_t::take(void* out, int32_t length, int64_t bound) {
  require(fd_ >= 0 && out && length > 0, SOURCE, 12, "fd >= 0 && buffer && length > 0");
  uint8_t* bytes = static_cast<uint8_t*>(out);
  const int32_t held = std::min(length, end_ - begin_);
  memcpy(bytes, buffer_ + begin_, held);
  begin_ += held;
  const int32_t rest = length - held;
  if (rest == 0) return length;

  // Everything read ahead is taken; `rest` bytes are still to come, and
  // at most `bound` of the message's bytes from here on.
  begin_ = end_ = 0;
  bound -= held;
  if (bound <= rest || rest >= capacity_) {
    return io_.read_all(fd_, bytes + held, rest) ? length : 0;
  }
  end_ = read_at_least(fd_, buffer_, rest, static_cast<int32_t>(std::min<int64_t>(bound, capacity_)));
  const int32_t arrived = std::min(end_, rest);
  memcpy(bytes + held, buffer_, arrived);
  if (arrived < rest) {
    end_ = 0;
    return 0;
  }
  begin_ = rest;
  return length;
}
