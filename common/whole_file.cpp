#include "common/whole_file.h"

#include <cerrno>
#include <cstdio>

whole_file_status read_whole_file(const char* path, size_t max_bytes, std::vector<uint8_t>* content) {
  content->clear();
  FILE* file = fopen(path, "rb");
  if (!file) return whole_file_status::cannot_open;
  uint8_t block[65536];
  size_t got = 0;
  while (content->size() <= max_bytes && (got = fread(block, 1, sizeof block, file)) > 0)
    content->insert(content->end(), block, block + got);
  const bool failed = ferror(file);
  const int error = errno;
  fclose(file);
  errno = error;
  if (failed) return whole_file_status::cannot_read;
  return content->size() > max_bytes ? whole_file_status::too_large : whole_file_status::read;
}
