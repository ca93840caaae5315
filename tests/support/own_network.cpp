#include "tests/support/own_network.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool write_proc_file(const char* path, const std::string& text) {
  const int fd = open(path, O_WRONLY);
  const bool written = fd >= 0 && write(fd, text.data(), text.size()) == ssize_t(text.size());
  if (fd >= 0) close(fd);
  return written;
}

// Root may make a network namespace directly; that also works inside a
// chroot, where a new user namespace is refused. Otherwise a user namespace
// in which this process keeps its own user and group ids, so that the
// files it makes are still its own outside. Returns what failed, or null.
const char* enter_namespaces() {
  const std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
  if (unshare(CLONE_NEWNET) == 0) return nullptr;
  if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return "unshare";
  if (!write_proc_file("/proc/self/setgroups", "deny") ||
      !write_proc_file("/proc/self/uid_map", uid + " " + uid + " 1") ||
      !write_proc_file("/proc/self/gid_map", gid + " " + gid + " 1")) {
    return "user namespace id maps";
  }
  return nullptr;
}

const char* bring_up_loopback() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return "socket";
  ifreq request{};
  strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags |= IFF_UP;
  up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  close(fd);
  return up ? nullptr : "bringing up lo";
}

}  // namespace

bool enter_own_network_or_say(const char* program) {
  const char* failed = enter_namespaces();
  if (!failed) failed = bring_up_loopback();
  if (!failed) return true;
  fprintf(stderr, "%s: no network namespace of its own: %s: %s\n", program, failed,
          strerror(errno));
  return false;
}
