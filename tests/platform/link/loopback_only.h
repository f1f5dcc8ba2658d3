// Link finds its peers by multicast on every network the machine has: the tests move themselves
// (and the players they start) to a network namespace of their own with only the loopback, so
// nothing leaves the machine.
#pragma once
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace vl::test {

// A network of the test's own with the loopback up: "" when done, else why not.
inline std::string LoopbackOnly() {
  static const std::string result = [] {
    if (unshare(CLONE_NEWNET) != 0) return std::string("cannot make a network namespace: ") + strerror(errno);
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = s >= 0 && ioctl(s, SIOCGIFFLAGS, &request) == 0 &&
                    (request.ifr_flags |= IFF_UP | IFF_MULTICAST, ioctl(s, SIOCSIFFLAGS, &request) == 0);
    if (s >= 0) close(s);
    return up ? std::string() : std::string("cannot bring the loopback up: ") + strerror(errno);
  }();
  return result;
}

}  // namespace vl::test
