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

namespace {

bool write_proc_file(const char* path, const std::string& text) {
  const int fd = open(path, O_WRONLY);
  if (fd < 0) return false;
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return written;
}

// A user namespace in which this process keeps its own user and group ids,
// so that the files it makes are still its own outside.
bool enter_user_and_network_namespace(std::string* why) {
  const uid_t uid = geteuid();
  const gid_t gid = getegid();
  if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
    *why = std::string("unshare: ") + strerror(errno);
    return false;
  }
  if (!write_proc_file("/proc/self/setgroups", "deny") ||
      !write_proc_file("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
      !write_proc_file("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1")) {
    *why = std::string("user namespace id maps: ") + strerror(errno);
    return false;
  }
  return true;
}

bool bring_up_loopback(std::string* why) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    *why = std::string("socket: ") + strerror(errno);
    return false;
  }
  ifreq request{};
  strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  if (up) {
    request.ifr_flags |= IFF_UP;
    up = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  }
  if (!up) *why = std::string("bringing up lo: ") + strerror(errno);
  close(fd);
  return up;
}

}  // namespace

bool enter_own_network(std::string* why) {
  // Root may make a network namespace directly; that also works inside a
  // chroot, where a new user namespace is refused.
  if (unshare(CLONE_NEWNET) != 0 && !enter_user_and_network_namespace(why)) return false;
  return bring_up_loopback(why);
}

bool enter_own_network_or_say(const char* program) {
  std::string why;
  if (enter_own_network(&why)) return true;
  fprintf(stderr, "%s: no network namespace of its own: %s\n", program, why.c_str());
  return false;
}
