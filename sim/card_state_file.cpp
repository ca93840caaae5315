#include "sim/card_state_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/exception.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& path, int error = errno) {
  throw exception_t("%s %s: %s", what, path.c_str(), strerror(error));
}

// Writes all `size` bytes; false with errno set when it cannot (a full
// disk gives a short write first, then ENOSPC).
bool write_whole(int fd, const void* data, size_t size) {
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, next, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    next += n;
    size -= n;
  }
  return true;
}

// Writes a blank card to a new file and moves it into place, so a file at
// `path` is always complete; a file that could not be completed is removed.
void create_blank(const std::string& path) {
  const std::string temporary = path + ".new";
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) fail("cannot create", temporary);
  auto blank = blank_card_state();
  bool complete = write_whole(fd, blank.get(), sizeof *blank) && fsync(fd) == 0;
  int error = errno;
  if (close(fd) != 0 && complete) {
    complete = false;
    error = errno;
  }
  if (!complete) {
    unlink(temporary.c_str());
    fail("cannot write", temporary, error);
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    error = errno;
    unlink(temporary.c_str());
    fail("cannot create", path, error);
  }
}

}  // namespace

std::string card_state_path(const std::string& directory, int slot) {
  char name[16];
  snprintf(name, sizeof name, "slot%02d.x3", slot);
  return directory + "/" + name;
}

std::shared_ptr<x3_card_state> map_card_state(const std::string& path) {
  if (access(path.c_str(), F_OK) != 0) create_blank(path);
  int fd = open(path.c_str(), O_RDWR);
  if (fd < 0) fail("cannot open", path);
  off_t size = lseek(fd, 0, SEEK_END);
  if (size != static_cast<off_t>(sizeof(x3_card_state))) {
    close(fd);
    throw exception_t("%s is not an X3 card state file", path.c_str());
  }
  void* mapped = mmap(nullptr, sizeof(x3_card_state), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (mapped == MAP_FAILED) fail("cannot map", path);
  return std::shared_ptr<x3_card_state>(static_cast<x3_card_state*>(mapped),
                                        [](x3_card_state* s) { munmap(s, sizeof *s); });
}

bool read_card_state(const std::string& path, x3_card_state* state) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  const bool complete = pread(fd, state, sizeof *state, 0) == sizeof *state &&
                        lseek(fd, 0, SEEK_END) == static_cast<off_t>(sizeof *state);
  close(fd);
  return complete;
}
