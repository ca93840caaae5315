// Builders for what an operator uploads: firmware images as S-record text
// and the multipart form a browser posts.
#ifndef TESTS_SUPPORT_FIRMWARE_H
#define TESTS_SUPPORT_FIRMWARE_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// A firmware image: bytes at offsets of a 512 KiB bank; offsets without an
// entry carry no data.
using firmware = std::map<uint32_t, uint8_t>;

// `length` pseudo-random bytes (fixed seed) from `offset` on.
void add_random_bytes(firmware& image, uint32_t offset, uint32_t length, uint32_t seed);

// S3 records of up to `per_record` data bytes for every run of consecutive
// offsets, CR LF line ends, an S0 header first and an S7 end record last.
std::string s_records(const firmware& image, size_t per_record = 32);

// One S3 record with its checksum, without a line end.
std::string s3_record(uint32_t address, const std::vector<uint8_t>& data);

// The CONTENT_TYPE that goes with `multipart_form`.
std::string form_content_type();

// The upgrade form as a browser posts it: a part per ticked slot, then the
// file part sent as application/octet-stream.
std::string multipart_form(const std::vector<int>& slots, const std::string& file_content,
                           const std::string& file_type = "application/octet-stream");

#endif
