// Byte I/O on plain descriptors for the scan transport.
#ifndef SCAN_QB_LITERATE_H
#define SCAN_QB_LITERATE_H

#include <cstdint>

const int MAX_PUTS = 1000;

// Reads and writes exact byte counts, reads text lines and writes formatted
// lines on descriptors the caller owns (TCP sockets in practice). Transfer
// failures are results (0 or -1, errno as the failing call left it); broken
// preconditions throw exception_t. Writes never raise SIGPIPE: a peer that
// has gone away makes a write fail like any other transfer error.
class qb_literate_t {
 public:
  // Exactly `length` bytes into `buffer`: returns length, or 0 when the
  // peer ends the stream or a read fails first (bytes already read stay).
  int32_t read_all(int32_t fd, void* buffer, int32_t length);
  // Exactly `length` bytes from `buffer`: returns length, or 0.
  // `more_follows` lets a socket hold the bytes back until the next write
  // without it, so that a message written in pieces leaves as one segment
  // and wakes the peer once.
  int32_t write_all(int32_t fd, const void* buffer, int32_t length, bool more_follows = false);
  // One line without its line end (CR or LF, consumed), at most size - 1
  // characters, always terminated. Returns its length, or -1 at end of
  // stream or on a read error.
  int32_t read_line(char* buffer, int32_t size, int32_t fd);
  // printf into the object's buffer and write the text (no terminator).
  // Returns what write_all returned; throws when the text exceeds MAX_PUTS.
  int32_t fd_printf(int32_t fd, const char* format, ...) __attribute__((format(printf, 3, 4)));

 private:
  char buffer_[MAX_PUTS + 1];
};

#endif
