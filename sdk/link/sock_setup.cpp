// Socket set-up of the device SDK: listeners, accepts, client connects (TCP and UDP), closes and options.
// Reads, writes and waits run on the socket-I/O core (sock_io.h); the framed messages are in msg.cpp.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

#include "base/qv_defaults.h"
#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "link/msg.h"
#include "link/sock_io.h"

// Failures that the device firmware reports on its console go to the SDK log here, in the console's form.
#define QV_CONSOLE(fmt, ...) \
    QV_LOG_ERROR("[QV_MSG][%s]-%d " fmt, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

namespace {
constexpr const char *kDomainDir = "/tmp/app_messaging_server_addr/";
constexpr int32_t kDefaultConnectTimeoutMs = QV_DEFAULT_TIMEOUT_MS;
}  // namespace

// ---- Socket set-up
// ----------------------------------------------------------------------------------------------

int QV_InetServerInit(int family, uint16_t port, int type, int backlog) {
    int fd = ::socket(family, type, 0);
    if (fd < 0) {
        QV_LOG_DEBUG("socket errno=%d port=%d reason:%s", errno, port, std::strerror(errno));
        return -1;
    }
    int on = 1;
    auto fail = [&](const char *what) {
        QV_LOG_DEBUG("%s errno=%d port=%d fd=%d reason:%s", what, errno, port, fd, std::strerror(errno));
        ::close(fd);
        return -1;
    };
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0) return fail("setsockopt");
    if (family == AF_INET) {
        if (type == SOCK_DGRAM && ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) < 0)
            return fail("setsockopt");
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) return fail("bind");
    } else {
        if (type == SOCK_DGRAM) {
            errno = EAFNOSUPPORT;
            return fail("setsockopt");
        }
        struct sockaddr_in6 a {};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        a.sin6_addr = in6addr_any;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) return fail("bind");
    }
    if (type == SOCK_STREAM && ::listen(fd, backlog) < 0) return fail("listen");
    return fd;
}

int QV_UdpServerInit(int family, uint16_t port, int type, int backlog) {
    int fd = ::socket(family, type, 0);
    if (fd < 0) {
        QV_LOG_DEBUG("socket errno=%d port=%d reason:%s", errno, port, std::strerror(errno));
        return -1;
    }
    auto fail = [&](const char *what) {
        QV_LOG_DEBUG("%s errno=%d port=%d fd=%d reason:%s", what, errno, port, fd, std::strerror(errno));
        ::close(fd);
        return -1;
    };
    if (family == AF_INET) {
        int on = 1;
        if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0) return fail("setsockopt");
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) return fail("bind");
    }
    if (type == SOCK_STREAM && ::listen(fd, backlog) < 0) return fail("listen");
    return fd;
}

int QV_DomainServerInit(const char *name) {
    if (!name) {
        QV_LOG_DEBUG("APP's name is null!");
        return -1;
    }
    std::string path = std::string(kDomainDir) + name;
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    std::filesystem::create_directories(kDomainDir, ec);
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) {
        QV_LOG_DEBUG("Could not create socket");
        return -1;
    }
    struct sockaddr_un a {};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    int rc = ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    if (rc < 0) {
        QV_LOG_DEBUG("bind to %s failed, rc=%d errno=%d reason:%s", a.sun_path, rc, errno,
                     std::strerror(errno));
        ::close(fd);
        return -1;
    }
    rc = ::listen(fd, 3);
    if (rc < 0) {
        QV_LOG_DEBUG("listen to %s failed, rc=%d errno=%d reason:%s", a.sun_path, rc, errno,
                     std::strerror(errno));
        ::close(fd);
        return -1;
    }
    QV_LOG_DEBUG("%s msg socket opened and ready (fd=%d)", a.sun_path, fd);
    return fd;
}

int QV_ServerAcceptClient(int listen_fd) {
    struct sockaddr_un peer {};
    socklen_t len = sizeof peer;
    int fd = ::accept(listen_fd, reinterpret_cast<sockaddr *>(&peer), &len);
    if (fd < 0) {
        QV_LOG_DEBUG("accept IPC connection failed. errno=%d reason:%s", errno, std::strerror(errno));
        return -1;
    }
    return fd;
}

int QV_ServerAcceptGetIp(int listen_fd, char *ip_out) {
    struct sockaddr_in peer {};
    socklen_t len = sizeof peer;
    int fd = ::accept(listen_fd, reinterpret_cast<sockaddr *>(&peer), &len);
    if (fd < 0) {
        QV_CONSOLE("accept IPC connection failed. errno=%d reason:%s", errno, std::strerror(errno));
        return -1;
    }
    char text[INET_ADDRSTRLEN] = {0};
    ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    QV_LOG_DEBUG("[%d] connected from %s:%d", fd, text, ntohs(peer.sin_port));
    (void)set_tcp_nodelay(fd);
    if (!ip_out) {
        ::close(fd);
        return -1;
    }
    std::memcpy(ip_out, text, 16);
    ip_out[15] = '\0';
    return fd;
}

namespace {
int set_cloexec(int fd) {
    int rc = ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    if (rc < 0) {
        QV_LOG_DEBUG("set close-on-exec failed, rc=%d errno=%d reason:%s", rc, errno, std::strerror(errno));
        ::close(fd);
        return QV_ERR_FAILED;
    }
    return 0;
}

// Client streams to a device carry small requests in more than one write; with Nagle on, the second write
// waits for the peer's delayed ACK (about 40 ms on Linux).
void nodelay_if_stream(int fd, int type) {
    if ((type & 0xF) == SOCK_STREAM) (void)set_tcp_nodelay(fd);
}

bool parse_ipv4(const char *ip, struct sockaddr_in *a, uint16_t port) {
    std::memset(a, 0, sizeof *a);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    return ip && ::inet_pton(AF_INET, ip, &a->sin_addr) == 1;
}
}  // namespace

int QV_InetClientInit(int family, uint16_t port, int type, const char *ip) {
    if (!ip) {
        QV_LOG_ERROR("ipaddr is null.");
        return -1;
    }
    int fd = ::socket(family, type, 0);
    if (fd < 0) {
        QV_LOG_DEBUG("Could not create socket");
        return -1;
    }
    if (set_cloexec(fd) < 0) return -1;
    nodelay_if_stream(fd, type);
    struct sockaddr_in a;
    if (!parse_ipv4(ip, &a, port)) {
        errno = EINVAL;
        std::perror(ip);
        ::close(fd);
        return -1;
    }
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int QV_InetClientTimeOutInit(int family, uint16_t port, int type, const char *ip, int32_t timeout_ms) {
    int fd = ::socket(family, type, 0);
    if (fd < 0) {
        QV_LOG_ERROR("Could not create socket errno=%d", errno);
        return -1;
    }
    if (set_cloexec(fd) < 0) return -1;
    nodelay_if_stream(fd, type);
    if (set_non_blocking_mode(fd) < 0) {
        ::close(fd);
        return -1;
    }
    struct sockaddr_in a;
    if (!parse_ipv4(ip, &a, port)) {
        errno = EINVAL;
        std::perror(ip ? ip : "(null)");
        QV_LOG_ERROR("Could not inet_pton,errno=%d", errno);
        ::close(fd);
        return -1;
    }
    int rc = ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    if (rc == 0) return fd;
    if (errno != EINPROGRESS && errno != EINTR) {
        QV_LOG_DEBUG("Could not connect:iRc=%d", rc);
        ::close(fd);
        return -1;
    }
    uint32_t budget = static_cast<uint32_t>(timeout_ms > 0 ? timeout_ms : kDefaultConnectTimeoutMs);
    if (qvsock::wait_for(fd, POLLOUT, qvsock::Waits::within(budget)) != qvsock::Io::Ok) {
        QV_LOG_DEBUG("Could not select,iFd=%d", fd);
        ::close(fd);
        return -1;
    }
    // The outcome of a non-blocking connect is the socket's pending error.
    int soerr = 0;
    socklen_t len = sizeof soerr;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len) < 0 || soerr != 0) {
        QV_LOG_DEBUG("Could not connect:iRc=%d so_error=%d reason:%s", -1, soerr, std::strerror(soerr));
        ::close(fd);
        return -1;
    }
    return fd;
}

namespace {
int udp_client(int family, uint16_t port, int type, const char *ip, struct sockaddr_in *addr,
               bool broadcast) {
    if (!addr) return -1;
    int fd = ::socket(family, type, 0);
    if (fd < 0) {
        if (broadcast)
            QV_LOG_ERROR("Could not create socket ipaddr=%s error:%s", ip ? ip : "", std::strerror(errno));
        else
            QV_LOG_DEBUG("Could not create socket");
        return -1;
    }
    if (broadcast) {
        int on = 1;
        (void)::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    }
    std::memset(addr, 0, sizeof *addr);
    addr->sin_family = AF_INET;
    addr->sin_port = htons(port);
    if (broadcast && ip && std::strcmp(ip, "0.0.0.0") == 0) {
        addr->sin_addr.s_addr = htonl(INADDR_BROADCAST);
        return fd;
    }
    // An address that does not parse is refused rather than silently turned into a broadcast.
    if (!ip || ::inet_aton(ip, &addr->sin_addr) == 0) {
        QV_LOG_ERROR("bad udp address ipaddr=%s", ip ? ip : "(null)");
        std::memset(addr, 0, sizeof *addr);
        ::close(fd);
        return -1;
    }
    return fd;
}
}  // namespace

int QV_UdpClientInit(int family, uint16_t port, int type, const char *ip, struct sockaddr_in *addr) {
    return udp_client(family, port, type, ip, addr, false);
}

int QV_UdpBroadcastClientInit(int family, uint16_t port, int type, const char *ip, struct sockaddr_in *addr) {
    return udp_client(family, port, type, ip, addr, true);
}

int QV_SockClose(int fd) {
    return fd == -1 ? 0 : ::close(fd);
}

int QV_UdpClose(int fd) {
    if (fd > 0) ::close(fd);
    return 0;
}

int set_socket_keepalive(int fd) {
    int on = 1;
    return ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == -1 ? QV_ERR_FAILED : 0;
}

int set_tcp_nodelay(int fd) {
    int on = 1;
    return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == -1 ? QV_ERR_FAILED : 0;
}

namespace {
int change_flags(int fd, bool nonblock) {
    int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0) {
        QV_LOG_ERROR("nonblock,fcntl(F_GETFL):%d", errno);
        return QV_ERR_FAILED;
    }
    flags = nonblock ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (::fcntl(fd, F_SETFL, flags) < 0) {
        QV_LOG_ERROR("nonblock:fcntl(F_SETFL):%d", errno);
        return QV_ERR_FAILED;
    }
    return 0;
}
}  // namespace

int set_non_blocking_mode(int fd) {
    return change_flags(fd, true);
}
int set_blocking_mode(int fd) {
    return change_flags(fd, false);
}

int touch_local_port(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return QV_ERR_FAILED;
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    (void)::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    ::close(fd);
    return 0;
}
