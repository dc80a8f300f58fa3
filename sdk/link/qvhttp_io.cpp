#include "link/qvhttp_io.h"

#include <poll.h>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "base/client_file_task.h"
#include "link/msg.h"
#include "base/qv_errors.h"

namespace qvio {

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool cancelled(const client_file_task *task) { return task && task->cancel_status.load() != 0; }

namespace {

// 1 ready, 0 deadline passed, -20008 cancelled, -1 failure.
int wait_events(int fd, short events, int64_t deadline_ms, const client_file_task *task) {
    for (;;) {
        if (cancelled(task)) return -QV_ERR_CANCELLED;
        int64_t left = deadline_ms - now_ms();
        if (left <= 0) {
            // One last non-blocking look, so that data already there is never reported as a time-out.
            struct pollfd p{fd, events, 0};
            int r = ::poll(&p, 1, 0);
            return r > 0 ? 1 : 0;
        }
        struct pollfd p{fd, events, 0};
        int r = ::poll(&p, 1, static_cast<int>(left < kSliceMs ? left : kSliceMs));
        if (r > 0) return 1;
        if (r < 0 && errno != EINTR) return -1;
    }
}

}  // namespace

int wait_readable(int fd, int64_t deadline_ms, const client_file_task *task) {
    int w = wait_events(fd, POLLIN, deadline_ms, task);
    if (w == 1) return 0;
    if (w == -QV_ERR_CANCELLED) return QV_ERR_CANCELLED;
    return QV_ERR_RECV;
}

int wait_writable(int fd, int64_t deadline_ms, const client_file_task *task) {
    int w = wait_events(fd, POLLOUT, deadline_ms, task);
    if (w == 1) return 0;
    return w == -QV_ERR_CANCELLED ? QV_ERR_CANCELLED : QV_ERR_NET;
}

int read_exact(int fd, void *buf, size_t n, int64_t deadline_ms, const client_file_task *task, size_t *got) {
    size_t done = 0;
    auto *p = static_cast<char *>(buf);
    int rc = 0;
    while (done < n) {
        ssize_t r = ::recv(fd, p + done, n - done, MSG_DONTWAIT);
        if (r > 0) {
            done += static_cast<size_t>(r);
            continue;
        }
        if (r == 0) {
            rc = QV_ERR_NET;
            break;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            rc = QV_ERR_NET;
            break;
        }
        int w = wait_events(fd, POLLIN, deadline_ms, task);
        if (w == 1) continue;
        rc = w == -QV_ERR_CANCELLED ? QV_ERR_CANCELLED : w == 0 ? QV_ERR_RECV : QV_ERR_NET;
        break;
    }
    if (got) *got = done;
    return rc;
}

int write_all(int fd, const void *buf, size_t n, int64_t deadline_ms, const client_file_task *task) {
    size_t done = 0;
    auto *p = static_cast<const char *>(buf);
    while (done < n) {
        ssize_t r = ::send(fd, p + done, n - done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (r > 0) {
            done += static_cast<size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return QV_ERR_NET;
        const int rc = wait_writable(fd, deadline_ms, task);
        if (rc != 0) return rc;
    }
    return 0;
}

int send_file(int fd, int src, int64_t off, size_t n, int64_t deadline_ms, const client_file_task *task) {
    auto o = static_cast<off_t>(off);
    size_t done = 0;
    while (done < n) {
        ssize_t r = ::sendfile(fd, src, &o, n - done);
        if (r > 0) {
            done += static_cast<size_t>(r);
            continue;
        }
        if (r == 0) return QV_ERR_LOCAL_FILE;  // the file ended early
        if (errno == EINTR) continue;
        if ((errno == EINVAL || errno == ENOSYS) && done == 0) return 1;
        if (errno == EIO || errno == EINVAL || errno == EOVERFLOW) return QV_ERR_LOCAL_FILE;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return QV_ERR_NET;
        const int rc = wait_writable(fd, deadline_ms, task);
        if (rc != 0) return rc;
    }
    return 0;
}

SigpipeBlock::SigpipeBlock() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
}

SigpipeBlock::~SigpipeBlock() {
    sigset_t pending;
    if (!was_pending_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
        const timespec none{0, 0};
        sigtimedwait(&pipe_, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

int send_frame(int fd, const void *buf, uint32_t len, int64_t deadline_ms, const client_file_task *task) {
    std::string frame(sizeof(msg_hdr) + len, '\0');
    msg_hdr h{len};
    std::memcpy(frame.data(), &h, sizeof h);
    if (len) std::memcpy(frame.data() + sizeof h, buf, len);
    return write_all(fd, frame.data(), frame.size(), deadline_ms, task);
}

int recv_frame(int fd, char **out, uint32_t *len, int64_t deadline_ms, const client_file_task *task) {
    *out = nullptr;
    *len = 0;
    msg_hdr h{};
    int rc = read_exact(fd, &h, sizeof h, deadline_ms, task, nullptr);
    if (rc == QV_ERR_CANCELLED) return rc;
    if (rc != 0 || h.msg_len == 0 || h.msg_len > QV_MSG_MAX_LEN) return QV_ERR_RECV;
    char *buf = static_cast<char *>(std::calloc(h.msg_len + 1u, 1));
    if (!buf) return QV_ERR_RECV;
    rc = read_exact(fd, buf, h.msg_len, deadline_ms, task, nullptr);
    if (rc != 0) {
        std::free(buf);
        return rc == QV_ERR_CANCELLED ? rc : QV_ERR_RECV;
    }
    *out = buf;
    *len = h.msg_len;
    return 0;
}

}  // namespace qvio
