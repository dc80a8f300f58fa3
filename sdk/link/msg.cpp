// Length-framed messages over TCP and UDP, and the message dump. The waits, exact reads and whole writes are
// those of the socket-I/O core (sock_io.h) in the descriptor's own mode; the results are the QV_ERR_SOCK_*
// codes of msg.h.
#include "link/msg.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "link/sock_io.h"

// Failures that the device firmware reports on its console go to the SDK log here, in the console's form.
#define QV_CONSOLE(fmt, ...) \
    QV_LOG_ERROR("[QV_MSG][%s]-%d " fmt, __func__, __LINE__ __VA_OPT__(, ) __VA_ARGS__)

namespace {
constexpr size_t kUdpBufSize = sizeof(msg_hdr) + QV_UDP_MAX_LEN;

using qvsock::Io;

// One frame buffer: length in host order, then the payload (the retrying and datagram writers).
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

// The framed-message waits: `timeout_ms` null, no wait before reads; pointing to 0, without limit; else every
// single wait is bounded by it.
qvsock::Waits read_waits(const uint32_t *timeout_ms) {
    qvsock::Waits w;
    w.fd_mode = true;
    if (!timeout_ms)
        w.never = true;
    else
        w.each_wait_ms = *timeout_ms;
    return w;
}

// Writes the whole frame. Waits for room only on EAGAIN, within `timeout_ms` in all (0: without limit).
int send_frame(int fd, const void *buf, uint32_t len, uint32_t timeout_ms) {
    if (!buf) {
        QV_LOG_DEBUG("Send buffer is null!");
        return QV_ERR_SOCK_NULLBUF;
    }
    qvsock::Waits w = qvsock::Waits::within(timeout_ms);
    w.fd_mode = true;
    const Io rc = qvsock::send_frame(fd, buf, len, w);
    switch (rc) {
        case Io::Ok:
            return QV_OK;
        case Io::TimedOut:
            QV_LOG_DEBUG("frame write timed out (%u payload bytes)", static_cast<unsigned>(len));
            return QV_ERR_SOCK_TIMEOUT;
        case Io::Closed:
            return write_error(EPIPE);
        default:
            return write_error(errno);
    }
}

// Reads the 4-byte length, assembling it from as many reads as the stream needs.
int read_header(int fd, const uint32_t *timeout_ms, uint32_t *len, bool error_level) {
    size_t got = 0;
    const Io rc = qvsock::recv_frame_len(fd, len, read_waits(timeout_ms), &got);
    if (rc == Io::Ok) return 0;
    if (rc == Io::TimedOut) return QV_ERR_SOCK_TIMEOUT;
    if (rc == Io::Closed && got == 0) return QV_ERR_SOCK_CLOSED;  // clean end of stream between frames
    const int err = errno;
    if (error_level)
        QV_LOG_ERROR("bad read, rc=%d errno=%d reason:%s", static_cast<int>(got), err, std::strerror(err));
    else
        QV_LOG_DEBUG("bad read, rc=%d errno=%d reason:%s", static_cast<int>(got), err, std::strerror(err));
    return QV_ERR_SOCK_IO;
}
}  // namespace

// ---- Framed messages
// --------------------------------------------------------------------------------------------

int QV_MsgSend(int fd, const void *buf, uint32_t len) {
    return send_frame(fd, buf, len, QV_MSG_SEND_TIMEOUT_MS);
}

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
        ssize_t w = qvsock::write_some(fd, frame + off, total - off, true);
        if (w > 0) {
            off += static_cast<size_t>(w);
            again = 0;
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (++again >= 100) {
                QV_LOG_DEBUG("unexpected rc %d, expected %u", static_cast<int>(off),
                             static_cast<unsigned>(total));
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
    const Io io = qvsock::read_exact(fd, payload, len, read_waits(timeout_ms), &got);
    if (io != Io::Ok) {
        std::free(payload);
        // A peer that closes inside a payload is a broken frame, not a clean close.
        return io == Io::TimedOut ? QV_ERR_SOCK_TIMEOUT : QV_ERR_SOCK_IO;
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
        ssize_t r = qvsock::read_some(fd, payload + got, len - got, true);
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
        const Io rc = qvsock::wait_for(fd, POLLIN, qvsock::Waits::within(*timeout_ms));
        if (rc == Io::TimedOut) return QV_ERR_SOCK_TIMEOUT;
        if (rc != Io::Ok) return QV_ERR_SOCK_IO;
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

// ---- Debug dump
// -------------------------------------------------------------------------------------------------

void format_local_time(time_t t, char *out, size_t out_size) {
    if (!out || out_size == 0) return;
    struct tm tmv {};
    localtime_r(&t, &tmv);
    std::snprintf(out, out_size, "%04d/%02d/%02d %02d:%02d:%02d", tmv.tm_year + 1900, tmv.tm_mon + 1,
                  tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
}

void QV_MsgPrintf(const void *msg, const char *label, uint32_t len, int direction) {
    if (!msg || len == 0) {
        QV_CONSOLE("message is null or length(%u) is 0", static_cast<unsigned>(len));
        return;
    }
    const auto *b = static_cast<const unsigned char *>(msg);
    const char *tag = direction == 2 ? "Tx" : direction == 1 ? "Rx" : "unkown";
    char stamp[64];  // room for any year the compiler can imagine
    format_local_time(std::time(nullptr), stamp, sizeof stamp);
    std::string s;
    char tmp[64];
    s += '[';
    s += stamp;
    s += "] ";
    s += tag;
    s += ' ';
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
