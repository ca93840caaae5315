#include "flashing/upgrade_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

// Opens the lock file read-only (enough for flock, and open to every user
// when created 0644). An existing file is opened without O_CREAT: in a
// sticky world-writable directory such as /run/lock the kernel may refuse
// O_CREAT on a file another user created (the web server's user, or root
// running prog_x3flash).
int open_lock_file(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    fd = open(path, O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    // Another run created it in between.
    if (fd < 0 && errno == EEXIST) fd = open(path, O_RDONLY | O_CLOEXEC);
  }
  return fd;
}

}  // namespace

const char* upgrade_lock_path() {
  const char* path = getenv(UPGRADE_LOCK_VARIABLE);
  return path && *path ? path : UPGRADE_LOCK_DEFAULT;
}

bool take_upgrade_lock(const std::function<void()>& before_waiting) {
  const int fd = open_lock_file(upgrade_lock_path());
  if (fd < 0) return false;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
  if (errno == EWOULDBLOCK) {
    if (before_waiting) before_waiting();
    int r;
    while ((r = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (r == 0) return true;
  }
  const int saved = errno;
  close(fd);
  errno = saved;
  return false;
}
