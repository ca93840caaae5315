// Reading a whole file that a person named on a command line, with a bound,
// so that a device or an endless file given by mistake cannot fill memory.
#ifndef COMMON_WHOLE_FILE_H
#define COMMON_WHOLE_FILE_H

#include <cstddef>
#include <cstdint>
#include <vector>

enum class whole_file_status { read, cannot_open, cannot_read, too_large };

// Reads all of `path` into *content (replacing it) when the file holds at
// most `max_bytes`. On cannot_open and cannot_read errno is as the failing
// call left it; too_large stops reading just past the bound.
whole_file_status read_whole_file(const char* path, size_t max_bytes, std::vector<uint8_t>* content);

#endif
