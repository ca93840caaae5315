// How an S-record image carries its signature: the text of a minisign
// signature, cut into S0 records placed before the image's first data
// record and marked by SIGNATURE_TAG at the start of their data. Every
// loader skips S0 records, so a signed file still loads everywhere.
//
// The signed bytes are the file's bytes without those records, from its
// first byte through the line end of its S7 or S9 record: exactly what
// the switch's loader reads, which stops there. Taking the records out
// again gives back the file as it was signed, so `minisign -V` verifies
// the original against the same signature.
#ifndef SIGNING_SIGNATURE_RECORDS_H
#define SIGNING_SIGNATURE_RECORDS_H

#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "flashing/s19_loader.h"
#include "signing/minisign_format.h"

// The first bytes of a signature record's data.
const char SIGNATURE_TAG[] = "X3SIG1";
// Signature text per record, and in all: a minisign signature with both
// comments at their longest fits.
const size_t SIGNATURE_BYTES_PER_RECORD = 64;
const size_t SIGNATURE_TEXT_MAX = 12 * 1024;

// The S0 records that carry `text`, each ending in `line_end` ("\n" or
// "\r\n", as the file's own lines do).
std::string signature_records(const std::string& text, const std::string& line_end);

// Whether `line` (one whole line) is a signature record, by its tag.
bool is_signature_record(const char* line, size_t length);

// The S-record text `file` with the records that carry `text` before its
// first data record (or its end record, when it has none), their line
// ends those of the file's first line.
std::string with_signature_records(const std::string& file, const std::string& text);

// `file` without the signature records before its first data record, as
// it was signed; *removed says whether it had any.
std::string without_signature_records(const std::string& file, bool* removed);

// Sorts what the loader reads into the signed bytes, which it hashes as
// they pass, and the signature records before the first data record,
// whose text it keeps. Nothing else of the file is kept.
class signed_image_reader : public s19_input_observer {
 public:
  signed_image_reader();
  void read(const char* bytes, size_t length) override;

  // The BLAKE2b-512 hash of the signed bytes read so far.
  void prehash(uint8_t (&hash)[PREHASH_BYTES]) const;
  // Whether any signature record was read.
  bool carries_signature() const { return records_ > 0; }
  // "" or why the signature records cannot be read.
  const std::string& damage() const { return damage_; }
  // The signature text the records carry, in order.
  const std::string& signature_text() const { return text_; }

 private:
  void read_signature_record(const char* line, size_t length);

  crypto_generichash_state hash_;
  bool line_start_ = true;
  bool data_seen_ = false;   // a data record (S1, S2, S3) came
  bool skipping_ = false;    // inside a signature record's line
  size_t records_ = 0;
  std::string damage_;
  std::string text_;
};

#endif
