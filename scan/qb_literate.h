// Byte I/O on plain descriptors for the scan transport.
#ifndef SCAN_QB_LITERATE_H
#define SCAN_QB_LITERATE_H

#include <cstdint>
#include <sys/uio.h>

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
  // The `count` pieces one after the other, in as few write calls as the
  // descriptor takes them (one, unless it is full): returns the number of
  // bytes written, which is less than the pieces' total only when a write
  // failed first. The pieces are used up (advanced past what was written).
  // Preconditions as write_all's over the total length.
  int32_t write_gathered(int32_t fd, iovec* pieces, int32_t count, bool more_follows = false);
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

// Reads one message of a length-framed protocol in as few read calls as
// its framing allows. With every take the caller says how many bytes, from
// there on, may still belong to the message (its `bound`, known from the
// lengths read so far); a read then takes whatever has arrived up to that
// bound, and later takes are served from what was read ahead. Reads loop
// only while less than the take needs has arrived, and never reach past
// the bound, so bytes of a later message stay in the descriptor. A take
// too large for the read-ahead buffer, or one that the bound says ends the
// message, reads straight into its destination with read_all.
class qb_framed_reader_t {
 public:
  // `buffer` (the caller's, `capacity` bytes) holds what was read ahead.
  qb_framed_reader_t(qb_literate_t& io, int32_t fd, uint8_t* buffer, int32_t capacity);

  // Exactly `length` bytes into `out`, with read_all's result rule and
  // preconditions: length, or 0 when the stream ends or a read fails
  // first (the bytes that did arrive stay in `out`).
  int32_t take(void* out, int32_t length, int64_t bound);

 private:
  qb_literate_t& io_;
  int32_t fd_;
  uint8_t* buffer_;
  int32_t capacity_;
  int32_t begin_ = 0;  // read ahead, not yet taken: buffer_[begin_, end_)
  int32_t end_ = 0;
};

#endif
