#include "command/qvhttp_upload.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/client_file_task.h"
#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "link/connect_pool.h"
#include "link/qvhttp_exchange.h"
#include "link/qvhttp_io.h"

namespace {

// One read from the source of at most `want` bytes: the count, or 0 / negative when it has none.
int64_t read_source(client_file_task *task, char *buf, int64_t want) {
    if (task->stream_cb) {
        int n = task->stream_cb(static_cast<int32_t>(task->id.load()), buf, static_cast<int>(want), task);
        // A stream that claims more than it was asked for cannot be trusted with the buffer or the range.
        if (n > want) return QV_ERR_FAILED;
        if (n > 0) task->stream_pos += n;
        return n;
    }
    for (;;) {
        ssize_t n = ::read(task->fd, buf, static_cast<size_t>(want));
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

// Puts the source at `start`: 0, or QV_ERR_LOCAL_FILE.
int position_source(client_file_task *task, char *buf, int64_t start) {
    if (!task->stream_cb) {
        if (::lseek(task->fd, static_cast<off_t>(start), SEEK_SET) != static_cast<off_t>(start)) {
            QV_LOG_ERROR("seek failed");
            return QV_ERR_LOCAL_FILE;
        }
        return 0;
    }
    if (task->stream_pos > start) {
        QV_LOG_ERROR("seek failed");  // the stream is already past the range
        return QV_ERR_LOCAL_FILE;
    }
    while (task->stream_pos < start) {
        const int64_t want = std::min(QVHTTP_UPLOAD_BLOCK, start - task->stream_pos);
        if (read_source(task, buf, want) <= 0) {
            QV_LOG_ERROR("stream read error");
            return QV_ERR_LOCAL_FILE;
        }
    }
    return 0;
}

void progress(client_file_task *task) {
    if (task->chunk_cb) task->chunk_cb(task);
}

// The data phase: 0, QV_ERR_LOCAL_FILE, QV_ERR_NET or QV_ERR_CANCELLED.
int send_range(client_file_task *task, int fd, int32_t t) {
    const int64_t start = task->cur_progress.load();
    const int64_t end = task->total_progress.load();
    if (start < 0 || end < start) return QV_ERR_LOCAL_FILE;
    std::vector<char> buf(static_cast<size_t>(QVHTTP_UPLOAD_BLOCK) + 1, 0);
    int rc = position_source(task, buf.data(), start);
    if (rc != 0) return rc;
    int64_t pos = start;
    bool direct = !task->stream_cb;
    qvio::SigpipeBlock no_sigpipe;
    while (pos < end) {
        if (qvio::cancelled(task)) break;
        const int64_t want = std::min(QVHTTP_UPLOAD_BLOCK, end - pos);
        // A local file goes out without passing through the block buffer; a stream (or a descriptor the
        // kernel cannot send from) is read into it.
        int64_t n = want;
        rc = direct ? qvio::send_file(fd, task->fd, pos, static_cast<size_t>(want), qvio::now_ms() + t, task)
                    : 1;
        if (rc == 1) {
            // sendfile() leaves the file offset alone: a file that falls back mid-range reads on from `pos`.
            if (direct && ::lseek(task->fd, static_cast<off_t>(pos), SEEK_SET) < 0)
                n = -1;
            else
                n = read_source(task, buf.data(), want);
            direct = false;
            if (n > 0)
                rc = qvio::write_all(fd, buf.data(), static_cast<size_t>(n), qvio::now_ms() + t, task);
            else
                rc = QV_ERR_LOCAL_FILE;
        }
        if (rc == QV_ERR_LOCAL_FILE) {
            QV_LOG_ERROR("per_bytes = %lld,already_bytes = %lld,total_bytes = %lld,errno = %d",
                         static_cast<long long>(n), static_cast<long long>(pos), static_cast<long long>(end),
                         errno);
            QV_LOG_ERROR("disk output/input error,errno = %d", errno);
            return QV_ERR_LOCAL_FILE;
        }
        // A stalled device gets one time-out per block.
        if (rc == QV_ERR_CANCELLED) break;
        if (rc != 0) {
            QV_LOG_ERROR("server disconnected positive，errno = %d,bytes_write = %lld", errno,
                         static_cast<long long>(pos));
            return QV_ERR_NET;
        }
        pos += n;
        task->cur_progress = pos;
        if (pos != end) progress(task);
    }
    if (pos == end) progress(task);
    if (qvio::cancelled(task) && pos < end) {
        QV_LOG_MSG("task has been canceled.");
        return QV_ERR_CANCELLED;
    }
    return 0;
}

}  // namespace

int qvhttp_upload(qvhttp_request *r) {
    if (!r || !r->req || !r->resp || !r->file_task || !r->uri) return QV_ERR_ARG;
    client_file_task *task = r->file_task;
    if (!task->stream_cb && task->fd < 0) return QV_ERR_LOCAL_FILE;
    const int32_t t = qvhttp_request_timeout(r);
    sock_handle *h = nullptr;
    int rc = QVConnectPort(r->uri->host, r->uri->port, &h, t);
    if (rc != 0) {
        QV_LOG_ERROR("QVConnect error, ret = %ld!", static_cast<long>(rc));
        return rc;
    }
    if (!h) return QV_ERR_ARG;
    bool consumed = false;
    rc = qvio::send_request(r, h->fd, t);
    if (rc == 0) rc = send_range(task, h->fd, t);
    if (rc == 0) rc = qvio::read_reply(r, h->fd, t, &consumed);
    // Kept only when the device took the whole body and its reply was read exactly.
    h->ret = rc != 0 ? rc : consumed ? 0 : QV_ERR_NET;
    if (QVClose(h) != 0) QV_LOG_ERROR("QVClose failed.");
    return rc;
}
