#include "link/sock_io.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "base/qv_errors.h"
#include "link/msg.h"

namespace qvsock {

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

namespace {

thread_local const std::atomic<int32_t> *t_cancel = nullptr;

bool is_cancelled(const Waits &w) {
    return (w.cancel != nullptr && w.cancel->load() != 0) || (t_cancel != nullptr && t_cancel->load() != 0);
}

bool would_block(int err) {
    return err == EAGAIN || err == EWOULDBLOCK;
}

Io ready_or_failed(const pollfd &p) {
    return (p.revents & POLLNVAL) ? Io::Failed : Io::Ok;
}

// Writes every byte of the vector, advancing it in place. Sockets get MSG_NOSIGNAL (a peer that hung up is
// Closed, never a signal); other descriptors go through writev().
Io write_vector(int fd, iovec *iov, int count, const Waits &w, size_t *sent) {
    size_t done = 0;
    Io rc = Io::Ok;
    const int flags = MSG_NOSIGNAL | (w.fd_mode ? 0 : MSG_DONTWAIT);
    while (count > 0) {
        if (iov->iov_len == 0) {
            ++iov;
            --count;
            continue;
        }
        msghdr m{};
        m.msg_iov = iov;
        m.msg_iovlen = static_cast<size_t>(count);
        ssize_t r = ::sendmsg(fd, &m, flags);
        if (r < 0 && errno == ENOTSOCK) r = ::writev(fd, iov, count);
        if (r > 0) {
            done += static_cast<size_t>(r);
            auto left = static_cast<size_t>(r);
            while (count > 0 && left >= iov->iov_len) {
                left -= iov->iov_len;
                ++iov;
                --count;
            }
            if (count > 0) {
                iov->iov_base = static_cast<char *>(iov->iov_base) + left;
                iov->iov_len -= left;
            }
            continue;
        }
        if (r == 0) {
            rc = Io::Failed;
            break;
        }
        const int err = errno;
        if (err == EINTR) continue;
        if (would_block(err) && !w.never) {
            rc = wait_for(fd, POLLOUT, w);
            if (rc == Io::Ok) continue;
            break;
        }
        rc = err == EPIPE ? Io::Closed : Io::Failed;
        errno = err;
        break;
    }
    if (sent) *sent = done;
    return rc;
}

}  // namespace

const std::atomic<int32_t> *set_thread_cancel(const std::atomic<int32_t> *flag) {
    const std::atomic<int32_t> *prev = t_cancel;
    t_cancel = flag;
    return prev;
}

Io wait_for(int fd, short events, const Waits &w) {
    if (fd < 0 || w.never) return Io::Failed;
    const int64_t deadline = w.each_wait_ms ? now_ms() + w.each_wait_ms : w.deadline_ms;
    for (;;) {
        if (is_cancelled(w)) return Io::Cancelled;
        int timeout = -1;
        if (deadline != kNever) {
            const int64_t left = deadline - now_ms();
            if (left <= 0) {
                pollfd p{fd, events, 0};
                return ::poll(&p, 1, 0) > 0 ? ready_or_failed(p) : Io::TimedOut;
            }
            timeout = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        if ((w.cancel != nullptr || t_cancel != nullptr) && (timeout < 0 || timeout > kSliceMs))
            timeout = kSliceMs;
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, timeout);
        if (r < 0) {
            if (errno == EINTR) continue;
            return Io::Failed;
        }
        if (r > 0) return ready_or_failed(p);
    }
}

ssize_t read_some(int fd, void *buf, size_t n, bool fd_mode) {
    ssize_t r = ::recv(fd, buf, n, fd_mode ? 0 : MSG_DONTWAIT);
    if (r < 0 && errno == ENOTSOCK) r = ::read(fd, buf, n);
    return r;
}

ssize_t write_some(int fd, const void *buf, size_t n, bool fd_mode) {
    ssize_t r = ::send(fd, buf, n, MSG_NOSIGNAL | (fd_mode ? 0 : MSG_DONTWAIT));
    if (r < 0 && errno == ENOTSOCK) r = ::write(fd, buf, n);
    return r;
}

Io read_exact(int fd, void *buf, size_t n, const Waits &w, size_t *got) {
    auto *p = static_cast<char *>(buf);
    size_t done = 0;
    Io rc = Io::Ok;
    while (done < n) {
        // In the descriptor's own mode the wait comes first, so a blocking descriptor never blocks past it.
        if (w.fd_mode && !w.never) {
            rc = wait_for(fd, POLLIN, w);
            if (rc != Io::Ok) break;
        }
        const ssize_t r = read_some(fd, p + done, n - done, w.fd_mode || w.never);
        if (r > 0) {
            done += static_cast<size_t>(r);
            continue;
        }
        if (r == 0) {
            rc = Io::Closed;
            break;
        }
        const int err = errno;
        if (err == EINTR) continue;
        if (would_block(err) && !w.fd_mode && !w.never) {
            rc = wait_for(fd, POLLIN, w);
            if (rc == Io::Ok) continue;
            break;
        }
        rc = Io::Failed;
        errno = err;
        break;
    }
    if (got) *got = done;
    return rc;
}

Io write_all(int fd, const void *buf, size_t n, const Waits &w, size_t *sent) {
    iovec v{const_cast<void *>(buf), n};
    return write_vector(fd, &v, 1, w, sent);
}

Io send_frame(int fd, const void *payload, uint32_t len, const Waits &w, const void *tail, size_t tail_len) {
    msg_hdr h{len};
    iovec v[3] = {{&h, sizeof h}, {const_cast<void *>(payload), len}, {const_cast<void *>(tail), tail_len}};
    return write_vector(fd, v, tail ? 3 : 2, w, nullptr);
}

Io recv_frame_len(int fd, uint32_t *len, const Waits &w, size_t *got) {
    msg_hdr h{};
    const Io rc = read_exact(fd, &h, sizeof h, w, got);
    *len = rc == Io::Ok ? h.msg_len : 0;
    return rc;
}

}  // namespace qvsock

// ---- The SDK's plain waits
// ----------------------------------------------------------------------------------

int wait_socket_readable(int fd, uint32_t timeout_ms) {
    return qvsock::wait_for(fd, POLLIN, qvsock::Waits::within(timeout_ms)) == qvsock::Io::Ok
               ? 0
               : QV_ERR_SOCK_TIMEOUT;
}

int wait_socket_writable(int fd, uint32_t timeout_ms) {
    return qvsock::wait_for(fd, POLLOUT, qvsock::Waits::within(timeout_ms)) == qvsock::Io::Ok
               ? 0
               : QV_ERR_SOCK_TIMEOUT;
}

int poll_socket_readable(int fd, uint32_t timeout_ms) {
    if (fd < 0) return -1;
    pollfd p{fd, POLLIN, 0};
    const int wait_ms = timeout_ms > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(timeout_ms);
    const int rc = ::poll(&p, 1, wait_ms);
    if (rc > 0 && (p.revents & POLLNVAL)) return -1;
    return rc < 0 ? -1 : (rc > 0 ? 1 : 0);
}
