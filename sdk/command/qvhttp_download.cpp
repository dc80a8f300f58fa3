#include "command/qvhttp_download.h"

#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/client_file_task.h"
#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "base/record_list.h"
#include "link/connect_pool.h"
#include "link/content_range.h"
#include "link/qvhttp_exchange.h"
#include "link/qvhttp_io.h"

namespace {

// Largest JSON reply body taken from a download reply.
constexpr int64_t kMaxJsonBody = 16 * 1024 * 1024;

bool has_record(const record_dnode *head, int64_t end) {
    for (; head; head = head->next)
        if (head->end == end) return true;
    return false;
}

// Makes the data written so far durable, then records the position in the resume file.
void checkpoint(client_file_task *task, int64_t end, int64_t pos) {
    if (fdatasync(task->fd) != 0) {
        QV_LOG_ERROR("fdatasync failed, errno = %d", errno);
        return;  // no checkpoint past data that may not be on disk
    }
    update_record_for_index(&task->range_list, end, pos);
    if (task->cfg_stream && write_list_to_stream(task->cfg_stream, task->range_list) != 0)
        QV_LOG_ERROR("resume save failed");
}

// Whole local write at `off`: false when the disk took fewer bytes.
bool write_at(int fd, const char *buf, size_t n, int64_t off) {
    while (n > 0) {
        ssize_t w = pwrite(fd, buf, n, off);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        buf += w;
        n -= static_cast<size_t>(w);
        off += w;
    }
    return true;
}

// Nothing more may follow the range on the connection: false when bytes (or the end) are waiting.
bool connection_quiet(int fd) {
    char c;
    ssize_t n = recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

int file_data(qvhttp_request *r, int fd, int32_t t, bool *consumed) {
    client_file_task *task = r->file_task;
    qvhttp_resp *resp = r->resp;
    if (!task || task->fd < 0) return QV_ERR_ARG;
    const char *cr = qvhttp_hdr_get(resp->headers, "Content-Range");
    int64_t start = 0, end = 0;
    if (cr) {
        if (!qvhttp_parse_content_range(cr, &start, &end)) {
            QV_LOG_ERROR("unreadable Content-Range \"%s\"", cr);
            return QV_ERR_DL_NO_TYPE;
        }
    } else if (!qvhttp_parse_length(qvhttp_hdr_get(resp->headers, "Content-Length"), &end)) {
        QV_LOG_ERROR("file data without a usable length");
        return QV_ERR_DL_NO_TYPE;
    }
    const int64_t want_start = task->cur_progress, want_end = task->total_progress;
    if ((want_start != 0 || want_end != 0) && (start != want_start || end != want_end)) {
        QV_LOG_ERROR("range %" PRId64 "-%" PRId64 " does not match the request %" PRId64 "-%" PRId64, start,
                     end, want_start, want_end);
        return QV_ERR_DL_NO_TYPE;
    }
    resp->content_length = end - start;
    if (!has_record(task->range_list, end)) add_record_to_list(&task->range_list, 0, start, end);
    task->total_progress = end;
    task->cur_progress = start;

    static_assert(QVHTTP_DOWNLOAD_BLOCK > 0 && QVHTTP_DOWNLOAD_READ >= QVHTTP_DOWNLOAD_BLOCK);
    char *buf = static_cast<char *>(std::malloc(QVHTTP_DOWNLOAD_READ));
    if (!buf) return QV_ERR_ARG;
    int64_t pos = start, saved = -1;
    int64_t next_step = start + QVHTTP_DOWNLOAD_BLOCK;  // the progress callback comes once per block of data
    time_t next_save = 0;                               // due at once: the first block is checkpointed
    int rc = 0;
    while (pos < end) {
        if (qvio::cancelled(task)) {
            QV_LOG_ERROR("download task has been cancel!");
            rc = QV_ERR_CANCELLED;
            break;
        }
        if (task->tmp_path && access(task->tmp_path, F_OK) != 0) {
            rc = QV_ERR_PARTIAL_GONE;
            break;
        }
        // Read first and wait only when nothing is there: a busy transfer costs no poll per block.
        const size_t want = static_cast<size_t>(std::min<int64_t>(QVHTTP_DOWNLOAD_READ, end - pos));
        ssize_t n = recv(fd, buf, want, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            rc = qvio::wait_readable(fd, qvio::now_ms() + t, task);
            if (rc != 0) break;
            continue;
        }
        if (n == 0) {
            QV_LOG_ERROR("connect is disconnect, per_bytes=%lld", static_cast<long long>(pos));
            rc = QV_ERR_DL_CLOSED;
            break;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            QV_LOG_ERROR("net error,already_bytes = %lld,total_bytes = %lld,errno = %d",
                         static_cast<long long>(pos), static_cast<long long>(end), errno);
            rc = QV_ERR_NET;
            break;
        }
        if (!write_at(task->fd, buf, static_cast<size_t>(n), pos)) {
            QV_LOG_ERROR("write_bytes != per_bytes %zd,lack local storage, errno = %d", n, errno);
            rc = QV_ERR_DISK_FULL;
            break;
        }
        pos += n;
        for (; next_step <= pos && next_step < end; next_step += QVHTTP_DOWNLOAD_BLOCK) {
            task->cur_progress = next_step;
            if (task->chunk_cb) task->chunk_cb(task);
        }
        task->cur_progress = pos;
        const time_t now = time(nullptr);
        if (now >= next_save) {
            checkpoint(task, end, pos);
            saved = pos;
            next_save = now + QVHTTP_RESUME_SAVE_SECONDS + 1;
        }
    }
    std::free(buf);
    if (rc == 0) {
        if (task->chunk_cb) task->chunk_cb(task);
        *consumed = connection_quiet(fd);
        if (!*consumed) QV_LOG_ERROR("device sent more than the range; connection dropped");
    } else if (pos != saved && pos > start && rc != QV_ERR_PARTIAL_GONE) {
        checkpoint(task, end, pos);  // a resume starts exactly where this attempt stopped
    }
    return rc;
}

int json_reply(qvhttp_request *r, int fd, int32_t t, bool *consumed) {
    qvhttp_resp *resp = r->resp;
    const char *te = qvhttp_hdr_get(resp->headers, "Transfer-Encoding");
    if (te) {
        if (strcasecmp(te, "chunked") != 0) return QV_ERR_DL_NO_TYPE;
        int rc = read_chunk(resp, fd, r->file_task);
        *consumed = rc == 0;
        return rc;
    }
    int64_t len = 0;
    const char *cl = qvhttp_hdr_get(resp->headers, "Content-Length");
    if (!cl) return QV_ERR_DL_NO_TYPE;
    if (!qvhttp_parse_length(cl, &len) || len > kMaxJsonBody) {
        QV_LOG_ERROR("unusable Content-Length \"%s\"", cl);
        return QV_ERR_DL_NO_TYPE;
    }
    resp->content_length = len;
    std::free(resp->body);
    resp->body = static_cast<char *>(std::calloc(static_cast<size_t>(len) + 1, 1));
    resp->body_len = 0;
    if (!resp->body) return QV_ERR_ARG;
    size_t got = 0;
    int rc = len ? qvio::read_exact(fd, resp->body, static_cast<size_t>(len), qvio::now_ms() + t,
                                    r->file_task, &got)
                 : 0;
    if (rc != 0) {
        QV_LOG_ERROR("net error");
        return rc == QV_ERR_RECV || rc == QV_ERR_CANCELLED ? rc : QV_ERR_NET;
    }
    resp->body_len = static_cast<int32_t>(len);
    *consumed = true;
    return 0;
}

}  // namespace

int qvhttp_download(qvhttp_request *r) {
    if (!r || !r->req || !r->resp || !r->uri) return QV_ERR_ARG;
    const int32_t t = qvhttp_request_timeout(r);
    sock_handle *h = nullptr;
    int rc = QVConnectPort(r->uri->host, r->uri->port, &h, t);
    if (rc != 0) {
        QV_LOG_ERROR("QVConnect error, ret = %d!", rc);
        return rc;
    }
    if (!h) return QV_ERR_ARG;
    bool consumed = false;
    rc = qvio::send_request(r, h->fd, t);
    if (rc == 0) rc = qvio::read_reply_head(r, h->fd, t);
    if (rc == 0) {
        const char *ct = qvhttp_hdr_get(r->resp->headers, "Content-Type");
        if (ct && strcasecmp(ct, "text/plain") == 0) {
            rc = file_data(r, h->fd, t, &consumed);
        } else if (ct) {
            QV_LOG_ERROR("download reply of type \"%s\" carries no file data", ct);
            rc = QV_ERR_DL_NO_TYPE;
        } else {
            rc = json_reply(r, h->fd, t, &consumed);
        }
    }
    h->ret = rc != 0 ? rc : consumed ? 0 : QV_ERR_NET;
    if (QVClose(h) != 0) QV_LOG_ERROR("QVClose failed.");
    return rc;
}
