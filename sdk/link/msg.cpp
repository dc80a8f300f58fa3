#include "link/msg.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

#include "base/qv_errors.h"
#include "base/qv_log.h"

// Failures that the device firmware reports on its console go to the SDK log here, in the console's form.
#define QV_CONSOLE(fmt, ...) QV_LOG_ERROR("[QV_MSG][%s]-%d " fmt, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

namespace {
constexpr const char *kDomainDir = "/tmp/app_messaging_server_addr/";
constexpr int32_t kDefaultConnectTimeoutMs = 20000;
constexpr size_t kUdpBufSize = sizeof(msg_hdr) + QV_UDP_MAX_LEN;

using Clock = std::chrono::steady_clock;

int64_t ms_until(Clock::time_point deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
}

// Waits for `events` on one descriptor. timeout_ms 0 = without limit. 1 ready, 0 time-out, -1 failure.
// Interrupted waits resume with what is left of the budget on the monotonic clock.
int wait_events(int fd, short events, uint32_t timeout_ms) {
    if (fd < 0) return -1;
    const bool unlimited = timeout_ms == 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int wait_ms = -1;
        if (!unlimited) {
            int64_t left = ms_until(deadline);
            if (left < 0) left = 0;
            wait_ms = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        struct pollfd p {};
        p.fd = fd;
        p.events = events;
        int rc = ::poll(&p, 1, wait_ms);
        if (rc < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (rc == 0) {
            if (!unlimited && ms_until(deadline) > 0) continue;  // early wake-up or clamped wait
            return 0;
        }
        if (p.revents & POLLNVAL) return -1;
        // An error or hang-up makes the descriptor "ready": the next read or write reports it.
        if (p.revents & (events | POLLERR | POLLHUP)) return 1;
        return -1;
    }
}

// Sends without raising SIGPIPE; falls back to write() for descriptors that are not sockets.
ssize_t send_some(int fd, const uint8_t *p, size_t n) {
    ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == ENOTSOCK) w = ::write(fd, p, n);
    return w;
}

// One frame buffer: length in host order, then the payload.
uint8_t *build_frame(const void *buf, uint32_t len, size_t *total) {
    *total = sizeof(msg_hdr) + static_cast<size_t>(len);
    auto *frame = static_cast<uint8_t *>(std::malloc(*total));
    if (!frame) {
        QV_LOG_DEBUG("realloc to %ld bytes failed", static_cast<long>(*total));
        return nullptr;
    }
    msg_hdr h{len};
    std::memcpy(frame, &h, sizeof h);
    if (len) std::memcpy(frame + sizeof h, buf, len);
    return frame;
}

int write_error(int err) {
    if (err == EPIPE) {
        QV_LOG_DEBUG("got EPIPE, dest app is dead, errno:%d reason:%s", err, std::strerror(err));
        return QV_ERR_SOCK_CLOSED;
    }
    QV_LOG_DEBUG("write failed, errno=%d reason:%s", err, std::strerror(err));
    return QV_ERR_SOCK_IO;
}

// Writes the whole frame. Waits for room only on EAGAIN, within `timeout_ms` in all (0: without limit).
int send_frame(int fd, const void *buf, uint32_t len, uint32_t timeout_ms) {
    if (!buf) {
        QV_LOG_DEBUG("Send buffer is null!");
        return QV_ERR_SOCK_NULLBUF;
    }
    size_t total = 0;
    uint8_t *frame = build_frame(buf, len, &total);
    if (!frame) return QV_ERR_SOCK_ALLOC;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    size_t off = 0;
    int result = QV_OK;
    while (off < total) {
        ssize_t w = send_some(fd, frame + off, total - off);
        if (w > 0) {
            off += static_cast<size_t>(w);
            continue;
        }
        if (w == 0) {
            QV_LOG_DEBUG("unexpected rc %d, expected %u", static_cast<int>(off), static_cast<unsigned>(total));
            result = QV_ERR_SOCK_IO;
            break;
        }
        int err = errno;
        if (err == EINTR) continue;
        if (err == EAGAIN || err == EWOULDBLOCK) {
            uint32_t wait_ms = 0;
            if (timeout_ms) {
                int64_t left = ms_until(deadline);
                if (left <= 0) {
                    result = QV_ERR_SOCK_TIMEOUT;
                    break;
                }
                wait_ms = static_cast<uint32_t>(left);
            }
            int rc = wait_events(fd, POLLOUT, wait_ms);
            if (rc == 1) continue;
            result = rc == 0 ? QV_ERR_SOCK_TIMEOUT : QV_ERR_SOCK_IO;
            break;
        }
        result = write_error(err);
        break;
    }
    if (result == QV_ERR_SOCK_TIMEOUT)
        QV_LOG_DEBUG("frame write timed out after %u of %u bytes", static_cast<unsigned>(off),
                     static_cast<unsigned>(total));
    std::free(frame);
    return result;
}

// Reads exactly `n` bytes; before each read waits for data with the caller's time-out (if any).
// Returns the count read (n on success) or a negative code; `*got` holds the count in every case.
int read_exact(int fd, uint8_t *dst, size_t n, const uint32_t *timeout_ms, size_t *got) {
    *got = 0;
    while (*got < n) {
        if (timeout_ms && wait_socket_readable(fd, *timeout_ms) != 0) return QV_ERR_SOCK_TIMEOUT;
        ssize_t r = ::read(fd, dst + *got, n - *got);
        if (r > 0) {
            *got += static_cast<size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        return r == 0 ? QV_ERR_SOCK_CLOSED : QV_ERR_SOCK_IO;
    }
    return static_cast<int>(n);
}

// Reads the 4-byte length, assembling it from as many reads as the stream needs.
int read_header(int fd, const uint32_t *timeout_ms, uint32_t *len, bool error_level) {
    uint8_t raw[sizeof(msg_hdr)];
    size_t got = 0;
    int rc = read_exact(fd, raw, sizeof raw, timeout_ms, &got);
    if (rc == QV_ERR_SOCK_TIMEOUT) return rc;
    if (rc == QV_ERR_SOCK_CLOSED && got == 0) return rc;  // clean end of stream between frames
    if (rc < 0) {
        int err = errno;
        if (error_level)
            QV_LOG_ERROR("bad read, rc=%d errno=%d reason:%s", static_cast<int>(got), err, std::strerror(err));
        else
            QV_LOG_DEBUG("bad read, rc=%d errno=%d reason:%s", static_cast<int>(got), err, std::strerror(err));
        return QV_ERR_SOCK_IO;
    }
    msg_hdr h;
    std::memcpy(&h, raw, sizeof h);
    *len = h.msg_len;
    return 0;
}
}  // namespace

// ---- Socket set-up ----------------------------------------------------------------------------------------------

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
        QV_LOG_DEBUG("bind to %s failed, rc=%d errno=%d reason:%s", a.sun_path, rc, errno, std::strerror(errno));
        ::close(fd);
        return -1;
    }
    rc = ::listen(fd, 3);
    if (rc < 0) {
        QV_LOG_DEBUG("listen to %s failed, rc=%d errno=%d reason:%s", a.sun_path, rc, errno, std::strerror(errno));
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
        return -1;
    }
    return 0;
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
    if (wait_events(fd, POLLOUT, budget) != 1) {
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
int udp_client(int family, uint16_t port, int type, const char *ip, struct sockaddr_in *addr, bool broadcast) {
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

int QV_SockClose(int fd) { return fd == -1 ? 0 : ::close(fd); }

int QV_UdpClose(int fd) {
    if (fd > 0) ::close(fd);
    return 0;
}

int set_socket_keepalive(int fd) {
    int on = 1;
    return ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == -1 ? -1 : 0;
}

namespace {
int change_flags(int fd, bool nonblock) {
    int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0) {
        QV_LOG_ERROR("nonblock,fcntl(F_GETFL):%d", errno);
        return -1;
    }
    flags = nonblock ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (::fcntl(fd, F_SETFL, flags) < 0) {
        QV_LOG_ERROR("nonblock:fcntl(F_SETFL):%d", errno);
        return -1;
    }
    return 0;
}
}  // namespace

int set_non_blocking_mode(int fd) { return change_flags(fd, true); }
int set_blocking_mode(int fd) { return change_flags(fd, false); }

int wait_socket_readable(int fd, uint32_t timeout_ms) {
    return wait_events(fd, POLLIN, timeout_ms) == 1 ? 0 : QV_ERR_SOCK_TIMEOUT;
}

int wait_socket_writable(int fd, uint32_t timeout_ms) {
    return wait_events(fd, POLLOUT, timeout_ms) == 1 ? 0 : QV_ERR_SOCK_TIMEOUT;
}

int poll_socket_readable(int fd, uint32_t timeout_ms) {
    if (fd < 0) return -1;
    struct pollfd p {};
    p.fd = fd;
    p.events = POLLIN;
    int wait_ms = timeout_ms > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(timeout_ms);
    int rc = ::poll(&p, 1, wait_ms);
    if (rc > 0 && (p.revents & POLLNVAL)) return -1;
    return rc < 0 ? -1 : (rc > 0 ? 1 : 0);
}

int touch_local_port(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    (void)::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    ::close(fd);
    return 0;
}

// ---- Framed messages --------------------------------------------------------------------------------------------

int QV_MsgSend(int fd, const void *buf, uint32_t len) { return send_frame(fd, buf, len, QV_MSG_SEND_TIMEOUT_MS); }

int QV_MsgSendTimeout(int fd, const void *buf, uint32_t len, uint32_t timeout_ms) {
    return send_frame(fd, buf, len, timeout_ms);
}

int QV_FileSend(int fd, const void *buf, uint32_t len) {
    QV_LOG_DEBUG("nTotalLen = %u", static_cast<unsigned>(sizeof(msg_hdr) + len));
    int rc = send_frame(fd, buf, len, QV_MSG_SEND_TIMEOUT_MS);
    return rc == QV_OK ? static_cast<int>(len) : rc;
}

int QV_MsgSend_Try(int fd, const void *buf, uint32_t len) {
    if (!buf) {
        QV_LOG_DEBUG("Send buffer is null!");
        return QV_ERR_SOCK_NULLBUF;
    }
    size_t total = 0;
    uint8_t *frame = build_frame(buf, len, &total);
    if (!frame) return QV_ERR_SOCK_ALLOC;
    size_t off = 0;
    int again = 0;
    int result = QV_OK;
    while (off < total) {
        ssize_t w = send_some(fd, frame + off, total - off);
        if (w > 0) {
            off += static_cast<size_t>(w);
            again = 0;
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (++again >= 100) {
                QV_LOG_DEBUG("unexpected rc %d, expected %u", static_cast<int>(off), static_cast<unsigned>(total));
                result = QV_ERR_SOCK_IO;
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            continue;
        }
        result = w == 0 ? QV_ERR_SOCK_IO : write_error(errno);
        break;
    }
    std::free(frame);
    return result;
}

int QV_MsgReceive(int fd, char **out, const uint32_t *timeout_ms) {
    if (!out) {
        QV_LOG_DEBUG("buf is NULL!");
        return QV_ERR_SOCK_NULLBUF;
    }
    *out = nullptr;
    uint32_t len = 0;
    int rc = read_header(fd, timeout_ms, &len, true);
    if (rc < 0) return rc;
    if (len > QV_MSG_MAX_LEN) {
        QV_LOG_ERROR("nTotalRemaining = %u, is too big, check you length...", static_cast<unsigned>(len));
        const auto *b = reinterpret_cast<const unsigned char *>(&len);
        QV_LOG_ERROR("iFd = %d, %c, %c, %c, %c", fd, b[0], b[1], b[2], b[3]);
        return QV_ERR_SOCK_ALLOC;
    }
    if (len == 0) return 0;
    auto *payload = static_cast<char *>(std::calloc(static_cast<size_t>(len) + 1, 1));
    if (!payload) return QV_ERR_SOCK_ALLOC;
    size_t got = 0;
    rc = read_exact(fd, reinterpret_cast<uint8_t *>(payload), len, timeout_ms, &got);
    if (rc < 0) {
        std::free(payload);
        // A peer that closes inside a payload is a broken frame, not a clean close.
        return rc == QV_ERR_SOCK_TIMEOUT ? rc : QV_ERR_SOCK_IO;
    }
    *out = payload;
    return static_cast<int>(len);
}

int QV_MsgReceive_Try(int fd, char **out, const uint32_t *timeout_ms) {
    if (!out) {
        QV_LOG_DEBUG("buf is NULL!");
        return QV_ERR_SOCK_NULLBUF;
    }
    *out = nullptr;
    uint32_t len = 0;
    int rc = read_header(fd, timeout_ms, &len, false);
    if (rc < 0) return rc;
    QV_LOG_DEBUG("nTotalRemaining = %u", static_cast<unsigned>(len));
    // The same bound as QV_MsgReceive: a length beyond it is a broken stream, not a message.
    if (len > QV_MSG_MAX_LEN) return QV_ERR_SOCK_ALLOC;
    if (len == 0) return 0;
    auto *payload = static_cast<char *>(std::calloc(static_cast<size_t>(len) + 1, 1));
    if (!payload) {
        QV_CONSOLE("malloc to %u bytes failed", static_cast<unsigned>(len) + 1);
        return QV_ERR_SOCK_ALLOC;
    }
    size_t got = 0;
    int again = 0;
    while (got < len) {
        if (timeout_ms && wait_socket_readable(fd, *timeout_ms) != 0) {
            std::free(payload);
            return QV_ERR_SOCK_TIMEOUT;
        }
        ssize_t r = ::read(fd, payload + got, len - got);
        if (r > 0) {
            got += static_cast<size_t>(r);
            again = 0;
            continue;
        }
        int err = errno;
        if (r < 0 && err == EINTR) continue;
        QV_LOG_DEBUG("errno:%d reason:%s", r == 0 ? 0 : err, r == 0 ? "end of stream" : std::strerror(err));
        if (r < 0 && (err == EAGAIN || err == EWOULDBLOCK)) {
            if (++again < 100) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                continue;
            }
            break;  // gave up: hand over what arrived
        }
        std::free(payload);
        return QV_ERR_SOCK_IO;
    }
    QV_LOG_DEBUG("nTotalReadSoFar: %u", static_cast<unsigned>(got));
    *out = payload;
    return static_cast<int>(got);
}

int QV_UdpSend(int fd, const void *buf, uint32_t len, const struct sockaddr_in *to) {
    if (!buf) {
        QV_LOG_DEBUG("Send buffer is null!");
        return QV_ERR_SOCK_NULLBUF;
    }
    if (!to) return QV_ERR_ARG;
    size_t total = 0;
    uint8_t *frame = build_frame(buf, len, &total);
    if (!frame) return QV_ERR_SOCK_ALLOC;
    ssize_t w;
    do {
        w = ::sendto(fd, frame, total, MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(to), sizeof *to);
    } while (w < 0 && errno == EINTR);
    int err = errno;
    std::free(frame);
    if (w < 0) {
        QV_LOG_DEBUG("write failed, errno=%d reason:%s iFd=%d", err, std::strerror(err), fd);
        return QV_ERR_SOCK_IO;
    }
    return QV_OK;
}

int QV_UdpReceive(int fd, char **out, const uint32_t *timeout_ms, struct sockaddr_in *from) {
    if (!out) {
        QV_LOG_DEBUG("buf is NULL!");
        return QV_ERR_SOCK_NULLBUF;
    }
    *out = nullptr;
    if (timeout_ms) {
        int rc = wait_events(fd, POLLIN, *timeout_ms);
        if (rc == 0) return QV_ERR_SOCK_TIMEOUT;
        if (rc < 0) return QV_ERR_SOCK_IO;
    }
    // Room for a whole frame of the largest accepted payload, so that no accepted payload is cut.
    auto *dgram = static_cast<uint8_t *>(std::calloc(kUdpBufSize, 1));
    if (!dgram) {
        QV_LOG_DEBUG("alloc of msg header failed");
        return QV_ERR_SOCK_ALLOC;
    }
    struct sockaddr_in sender {};
    socklen_t slen = sizeof sender;
    ssize_t r;
    do {
        r = ::recvfrom(fd, dgram, kUdpBufSize, 0, reinterpret_cast<sockaddr *>(&sender), &slen);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        std::free(dgram);
        return QV_ERR_SOCK_CLOSED;
    }
    if (from) *from = sender;
    msg_hdr h;
    std::memcpy(&h, dgram, sizeof h);
    if (h.msg_len > QV_UDP_MAX_LEN) {
        std::free(dgram);
        return QV_ERR_SOCK_ALLOC;
    }
    auto *payload = static_cast<char *>(std::calloc(static_cast<size_t>(h.msg_len) + 1, 1));
    if (!payload) {
        std::free(dgram);
        return QV_ERR_SOCK_ALLOC;
    }
    std::memcpy(payload, dgram + sizeof h, h.msg_len);
    std::free(dgram);
    *out = payload;
    return static_cast<int>(r);
}

// ---- Debug dump -------------------------------------------------------------------------------------------------

void format_local_time(time_t t, char *out, size_t out_size) {
    if (!out || out_size == 0) return;
    struct tm tmv {};
    localtime_r(&t, &tmv);
    std::snprintf(out, out_size, "%04d/%02d/%02d %02d:%02d:%02d", tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday,
                  tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
}

void QV_MsgPrintf(const void *msg, const char *label, uint32_t len, int direction) {
    if (!msg || len == 0) {
        QV_CONSOLE("message is null or length(%u) is 0", static_cast<unsigned>(len));
        return;
    }
    const auto *b = static_cast<const unsigned char *>(msg);
    const char *tag = direction == 2 ? "Tx" : direction == 1 ? "Rx" : "unkown";
    char stamp[32];
    format_local_time(std::time(nullptr), stamp, sizeof stamp);
    std::string s;
    char tmp[64];
    std::snprintf(tmp, sizeof tmp, "[%s] %s ", stamp, tag);
    s += tmp;
    s += label ? label : "";
    std::snprintf(tmp, sizeof tmp, "[len:%u] msg:\n", static_cast<unsigned>(len));
    s += tmp;
    const std::string rule(66, '-');
    s += rule + "\n";
    auto chars = [&](uint32_t from, uint32_t to) {
        s += "; ";
        for (uint32_t k = from; k < to; ++k) s += b[k] > 0x0F ? static_cast<char>(b[k]) : '.';
        s += "\n\r";
    };
    for (uint32_t i = 0; i < len; ++i) {
        if (i && i % 16 == 0) chars(i - 16, i);
        std::snprintf(tmp, sizeof tmp, "%02X ", b[i]);
        s += tmp;
    }
    uint32_t rest = len % 16;
    if (rest) s.append(48 - 3 * rest, ' ');
    chars(len - (rest ? rest : 16), len);
    s += rule + "\n\n";
    std::fwrite(s.data(), 1, s.size(), stdout);
    std::fflush(stdout);
}
