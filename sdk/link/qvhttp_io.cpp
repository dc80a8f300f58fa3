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
#include "base/qv_errors.h"
#include "link/msg.h"
#include "link/sock_io.h"

namespace qvio {

int64_t now_ms() {
    return qvsock::now_ms();
}

bool cancelled(const client_file_task *task) {
    return task && task->cancel_status.load() != 0;
}

namespace {

using qvsock::Io;

qvsock::Waits waits(int64_t deadline_ms, const client_file_task *task) {
    return qvsock::Waits::until(deadline_ms, task ? &task->cancel_status : nullptr);
}

// The exchanges' codes for a core outcome: a time-out while reading is QV_ERR_RECV, any other loss
// QV_ERR_NET.
int read_code(Io io) {
    switch (io) {
        case Io::Ok:
            return 0;
        case Io::Cancelled:
            return QV_ERR_CANCELLED;
        case Io::TimedOut:
            return QV_ERR_RECV;
        default:
            return QV_ERR_NET;
    }
}

int write_code(Io io) {
    if (io == Io::Ok) return 0;
    return io == Io::Cancelled ? QV_ERR_CANCELLED : QV_ERR_NET;
}

}  // namespace

int wait_readable(int fd, int64_t deadline_ms, const client_file_task *task) {
    const Io io = qvsock::wait_for(fd, POLLIN, waits(deadline_ms, task));
    if (io == Io::Ok) return 0;
    return io == Io::Cancelled ? QV_ERR_CANCELLED : QV_ERR_RECV;
}

int wait_writable(int fd, int64_t deadline_ms, const client_file_task *task) {
    return write_code(qvsock::wait_for(fd, POLLOUT, waits(deadline_ms, task)));
}

int read_exact(int fd, void *buf, size_t n, int64_t deadline_ms, const client_file_task *task, size_t *got) {
    return read_code(qvsock::read_exact(fd, buf, n, waits(deadline_ms, task), got));
}

int write_all(int fd, const void *buf, size_t n, int64_t deadline_ms, const client_file_task *task) {
    return write_code(qvsock::write_all(fd, buf, n, waits(deadline_ms, task)));
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

int send_frame(int fd, const void *buf, uint32_t len, int64_t deadline_ms, const client_file_task *task,
               const void *tail, size_t tail_len) {
    return write_code(qvsock::send_frame(fd, buf, len, waits(deadline_ms, task), tail, tail_len));
}

int recv_frame(int fd, char **out, uint32_t *len, int64_t deadline_ms, const client_file_task *task) {
    *out = nullptr;
    *len = 0;
    const qvsock::Waits w = waits(deadline_ms, task);
    uint32_t n = 0;
    Io io = qvsock::recv_frame_len(fd, &n, w);
    if (io == Io::Cancelled) return QV_ERR_CANCELLED;
    if (io != Io::Ok || n == 0 || n > QV_MSG_MAX_LEN) return QV_ERR_RECV;
    char *buf = static_cast<char *>(std::calloc(n + 1u, 1));
    if (!buf) return QV_ERR_RECV;
    io = qvsock::read_exact(fd, buf, n, w, nullptr);
    if (io != Io::Ok) {
        std::free(buf);
        return io == Io::Cancelled ? QV_ERR_CANCELLED : QV_ERR_RECV;
    }
    *out = buf;
    *len = n;
    return 0;
}

}  // namespace qvio
