// The client side of the scan request protocol: what the flashing steps,
// Vorn_Serial and the tools use to send batches of scan commands to the
// scan service (scan/j5_scan_protocol.h describes the request and its
// reply). The client's utilities for tools and Vorn_Serial, a short control
// write, a hex dump and reading an image's version stamp, are members too.
#ifndef SCAN_J5_SCAN_CLIENT_H
#define SCAN_J5_SCAN_CLIENT_H

#include <csignal>
#include <cstdint>

#include "scan/j5_scan_protocol.h"
#include "scan/qb_client.h"

// Room for one field of an image's version text (type, date), terminator
// included; also the size of the date work areas.
const int32_t J5_SCAN_TEXT_SIZE = 256;
// Where an image's version stamp starts.
const char J5_SCAN_TYPE_MARKER[] = "Type: ";

// One scan command as the caller prepares it. The caller owns the buffers.
struct j5_scan_command_t {
  int32_t op;
  int32_t slot;
  int32_t txlen;
  int32_t rxlen;
  const uint8_t* txbuf;
  uint8_t* rxbuf;
  // Written by execute: the reply length the service reported, unclamped
  // (it may exceed rxlen, and is negative when the command failed).
  int32_t rxcount;
};

// Thrown by a scan client told to stop (j5_scan_client_t::stop_when)
// instead of sending another request.
struct scan_stopped_t {};

// Client of the scan service. Holds no connection: every execute, grab and
// release opens its own and closes it before returning. A request leaves
// in one write, and its replies are read in one read once they have all
// arrived.
class j5_scan_client_t : public qb_client_t {
 public:
  j5_scan_client_t(const char* host, int32_t id);

  // For a tool that stops when its operator interrupts it: once *flag is
  // non-zero (its signal handler sets it), execute and grab throw
  // scan_stopped_t instead of starting another request. release still
  // goes out, so that the tool can give the service back. Null (the
  // default): never stops.
  void stop_when(const volatile sig_atomic_t* flag) { stop_flag_ = flag; }

  // Sends the batch and reads every reply: rxcount of each command and up
  // to rxlen reply bytes into its rxbuf. Returns 1 when the whole exchange
  // worked, 0 when the connection could not be opened or any transfer
  // failed. The commands' own outcomes are in rxcount and rxbuf. Throws on
  // an empty batch, a slot outside 0..31 or a length without a buffer.
  int32_t execute(int32_t num_commands, j5_scan_command_t* commands);
  // Takes exclusive use of the service for this client id: 1, or 0.
  int32_t grab();
  // Gives the service back (also succeeds when it was free): 1, or 0.
  int32_t release();

  // Sends b0, b1 and `size` bytes of p to the card in `slot` as one op-147
  // command with no reply room; returns what execute returns. Throws
  // before connecting when p is null or size is outside 0..27 (at most 29
  // bytes go out).
  int32_t scan_write(int32_t slot, uint8_t b0, uint8_t b1, const uint8_t* p, int32_t size);
  // Prints p to standard output, 16 bytes a line: the bytes as hex, four
  // blanks, then each byte as itself when a C-locale letter or digit, else
  // '.'. The last line is not padded. Prints nothing for a size of 0 or
  // less or a null p.
  void hex_dump(const uint8_t* p, int32_t size) const;
  // Finds the first zero-terminated string of the image holding "Type: "
  // and joins it with the three strings after it by turning their zero
  // terminators into line feeds (the image is changed). Copies the text
  // from the marker to the next zero byte into version and terminates it.
  // Never reads or writes at or past image + length, and the copy ends
  // there too: version needs room for at most image + length - marker
  // bytes and a terminator. Without a marker version is left as it was.
  // Always returns 1; throws on a null pointer or a length of 0 or less.
  int32_t find_version(uint8_t* image, int32_t length, char* version) const;
  // The rest of the line after "Type: " in version, trailing white space
  // removed (never its first character), into type; returns type. Keeps
  // at most type_size - 1 characters; writes nothing when type_size < 1.
  // Throws "couldn't find Type in ..." without the marker.
  char* get_type(const char* version, char* type, int32_t type_size = J5_SCAN_TEXT_SIZE) const;
  // The two lines after "Compiled on:\n" in version joined by a blank,
  // trailing white space removed (never its first character), into date;
  // returns date. Works on at most the first 255 characters after the
  // marker and keeps at most date_size - 1 of the result; writes nothing
  // when date_size < 1. Throws "couldn't find date in ..." without the
  // marker.
  char* get_date(const char* version, char* date, int32_t date_size = J5_SCAN_TEXT_SIZE) const;
  // Splits "Mon D YYYY HH:MM:SS" (tokens separated by runs of blanks,
  // colons and line feeds; only the first 255 characters are looked at).
  // month: 1..12 for "Jan".."Dec" matched exactly, 0 for any other name;
  // the rest: decimal like strtol, 0 without digits, clamped to int32.
  // Throws on a null pointer, a missing token, a day or year of 0; the
  // fields before the failing one are already written. Returns 1.
  // Reentrant.
  int32_t parse_date(const char* date, int32_t* month, int32_t* day, int32_t* year,
                     int32_t* hour, int32_t* minute, int32_t* second) const;
  // Orders two dates by year, month, day, hour, minute, second: -1 when
  // date1 is earlier, 1 when later, 0 when equal. An unknown month (0)
  // comes before January. Throws what parse_date throws.
  int32_t compare_dates(const char* date1, const char* date2) const;

 protected:
  int32_t id;

 private:
  int32_t exchange(int32_t num_commands, j5_scan_command_t* commands);
  int32_t service_command(int32_t op);

  const volatile sig_atomic_t* stop_flag_ = nullptr;
};

#endif
