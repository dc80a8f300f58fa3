// Moves the calling test process into a network namespace of its own with only `lo` up, so tests may bind
// fixed ports (discovery's 27212/27213) and 127.0.0.N freely. Needs root; the caller skips without it.
#pragma once

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace qvtest {

// "" on success, else why it could not be done.
inline std::string enter_private_netns() {
    if (::unshare(CLONE_NEWNET) != 0) return std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return "socket failed";
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    ok = ok && ::ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    ::close(fd);
    return ok ? "" : "cannot bring lo up";
}

}  // namespace qvtest
