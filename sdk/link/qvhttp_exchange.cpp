// The HTTP exchanges of the device link. Header blocks travel as one framed message each way; bodies raw.
// A connection goes back to the pool (or stays with its task) only when its reply was consumed exactly: a
// Content-Length body read in full, or a chunked reply read through its final chunk. Anything else (a body of
// unknown extent, a failure half-way) leaves bytes on the wire that the next exchange would misread, so such
// a connection is closed even when the exchange itself reports success.
#include "link/qvhttp_exchange.h"

#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/client_file_task.h"
#include "base/qv_errors.h"
#include "base/qv_log.h"
#include "link/content_range.h"
#include "link/msg.h"
#include "link/qvhttp_io.h"

int32_t qvhttp_local_timeout(const char *host, int32_t t) {
    if (host && std::strcmp(host, "127.0.0.1") == 0 && t >= QVHTTP_DEFAULT_TIMEOUT_MS &&
        t < QVHTTP_TUNNEL_TIMEOUT_MS)
        return QVHTTP_TUNNEL_TIMEOUT_MS;
    return t;
}

int32_t qvhttp_request_timeout(qvhttp_request *r) {
    int32_t t = QVHTTP_DEFAULT_TIMEOUT_MS;
    if (const char *v = qvhttp_get_request_header(r, "Timeout")) {
        char *end = nullptr;
        errno = 0;
        long long x = std::strtoll(v, &end, 10);
        if (end != v && errno == 0 && x > 0 && x <= INT32_MAX) t = static_cast<int32_t>(x);
    }
    const char *host = r->uri ? r->uri->host : nullptr;
    int32_t raised = qvhttp_local_timeout(host, t);
    if (raised != t && r->file_task) r->file_task->timeout = raised;
    return raised;
}

int qvhttp_is_connection_loss(int code) {
    switch (code) {
        case QV_ERR_DL_CLOSED:
        case QV_ERR_CONN_LOST_A:
        case QV_ERR_RECV:
        case QV_ERR_CONN_LOST_B:
        case QV_ERR_NET:
        case QV_ERR_CANCELLED:
            return 1;
        default:
            return 0;
    }
}

namespace {

// A Content-Length value: decimal digits within the frame limit, else -1.
int64_t parse_length(const char *v) {
    if (!v) return -1;
    while (*v == ' ' || *v == '\t') ++v;
    if (*v < '0' || *v > '9') return -1;
    int64_t n = 0;
    for (; *v >= '0' && *v <= '9'; ++v) {
        n = n * 10 + (*v - '0');
        if (n > static_cast<int64_t>(QV_MSG_MAX_LEN)) return -1;
    }
    while (*v == ' ' || *v == '\t') ++v;
    return *v ? -1 : n;
}

}  // namespace

namespace qvio {

// Header block as one frame, then the body raw, handed over in one write within T.
int send_request(qvhttp_request *r, int fd, int32_t t) {
    char *block = qvhttp_req_get_hdr(r->req);
    if (!block) return QV_ERR_NOT_BUILT;
    const int64_t deadline = qvio::now_ms() + t;
    const size_t body_len = r->req->body ? static_cast<size_t>(r->req->body_len) : 0;
    int rc = qvio::send_frame(fd, block, static_cast<uint32_t>(std::strlen(block)), deadline, r->file_task,
                              body_len ? r->req->body : nullptr, body_len);
    std::free(block);
    if (rc != 0) QV_LOG_ERROR("QV send failed with %d,errno = %d", rc, errno);
    return rc;
}

// The reply's header block within T (one budget for the wait and the frame), parsed into resp.
int read_reply_head(qvhttp_request *r, int fd, int32_t t) {
    const int64_t deadline = qvio::now_ms() + t;
    int rc = qvio::wait_readable(fd, deadline, r->file_task);
    if (rc == QV_ERR_RECV) QV_LOG_MSG("timeout : %d, time_out : %d", t, t);
    if (rc == QV_ERR_CANCELLED) QV_LOG_MSG("task has been cancel!");
    if (rc != 0) return rc;
    char *block = nullptr;
    uint32_t len = 0;
    rc = qvio::recv_frame(fd, &block, &len, deadline, r->file_task);
    if (rc != 0) {
        QV_LOG_ERROR("QV recv failed with %d,errno = %d", rc, errno);
        return rc;
    }
    rc = qvhttp_resp_parse_headers_n(r->resp, block, len);
    std::free(block);
    if (rc != 0 || r->resp->status_code == 0) {
        QV_LOG_ERROR("reply header block unreadable");
        return QV_ERR_NOT_BUILT;
    }
    return 0;
}

// Header block and body. *consumed tells whether exactly the reply was read off the connection.
int read_reply(qvhttp_request *r, int fd, int32_t t, bool *consumed) {
    *consumed = false;
    int rc = read_reply_head(r, fd, t);
    if (rc != 0) return rc;
    qvhttp_resp *resp = r->resp;
    const char *cl = qvhttp_hdr_get(resp->headers, "Content-Length");
    const char *te = qvhttp_hdr_get(resp->headers, "Transfer-Encoding");
    int64_t length = -1;
    if (cl) {
        length = parse_length(cl);
        if (length < 0) {
            QV_LOG_ERROR("bad Content-Length \"%s\"", cl);
            return QV_ERR_NET;
        }
        resp->content_length = length;
    }
    if (te) {
        if (strcasecmp(te, "chunked") != 0) return 0;  // body of unknown extent: left unread
        rc = read_chunk(resp, fd, r->file_task);
        *consumed = rc == 0;
        return rc;
    }
    if (!cl) return 0;  // neither header: empty body, extent unknown
    char *body = static_cast<char *>(std::calloc(static_cast<size_t>(length) + 1, 1));
    if (!body) return QV_ERR_NET;
    size_t got = 0;
    rc = qvio::read_exact(fd, body, static_cast<size_t>(length), qvio::now_ms() + t, r->file_task, &got);
    if (rc != 0) {
        std::free(body);
        QV_LOG_ERROR("net error, per_bytes=%d", static_cast<int>(got));
        return rc == QV_ERR_CANCELLED ? rc : QV_ERR_NET;
    }
    std::free(resp->body);
    resp->body = body;
    resp->body_len = static_cast<int32_t>(length);
    *consumed = true;
    return 0;
}

}  // namespace qvio

using qvio::read_reply;
using qvio::read_reply_head;
using qvio::send_request;

int qvhttp_connect_process(qvhttp_request *r) {
    if (!r || !r->req || !r->resp || !r->file_task) return QV_ERR_ARG;
    client_file_task *task = r->file_task;
    const int32_t t = qvhttp_request_timeout(r);
    int rc = 0;
    bool consumed = false;
    if (task->fd < 0) {
        if (!r->uri || !r->uri->host) {
            rc = QV_ERR_ARG;
        } else {
            task->fd = QV_InetClientTimeOutInit(AF_INET, r->uri->port, SOCK_STREAM, r->uri->host, t);
            if (task->fd < 0) {
                QV_LOG_ERROR("create sock error %d", errno);
                rc = QV_ERR_NET;
            }
        }
    } else if (task->held_ret != 0) {
        // A connection that failed earlier: close it without another exchange.
        QV_SockClose(task->fd);
        task->fd = -1;
        return 0;
    }
    if (rc == 0) rc = send_request(r, task->fd, t);
    if (rc == 0) rc = read_reply(r, task->fd, t, &consumed);
    // A kept socket must be clean for the pool; one whose reply extent was unknown cannot be kept.
    if (rc == 0 && task->keep_alive && !consumed) rc = QV_ERR_NET;
    if (rc != 0 || !task->keep_alive) {
        if (task->fd >= 0) QV_SockClose(task->fd);
        task->fd = -1;
    }
    return rc;
}

int qvhttp_open(qvhttp_request *r) {
    if (!r || !r->req || !r->resp || !r->uri || !r->uri->host) return QV_ERR_ARG;
    const int32_t t = qvhttp_request_timeout(r);
    int fd = QV_InetClientTimeOutInit(AF_INET, r->uri->port, SOCK_STREAM, r->uri->host, t);
    if (fd < 0) {
        QV_LOG_ERROR("create sock error %d", errno);
        return QV_ERR_NET;
    }
    r->sock = fd;
    int rc = send_request(r, fd, t);
    if (rc == 0) rc = read_reply_head(r, fd, t);
    if (rc != 0) {
        qvhttp_sock_close(r);
        return rc;
    }
    qvhttp_resp *resp = r->resp;
    // Only a reply marked as file data opens the stream; anything else (a JSON error envelope, which carries
    // no Content-Type, or another type) would otherwise reach the reader as the file's bytes.
    const char *ct = qvhttp_hdr_get(resp->headers, "Content-Type");
    if (ct == nullptr || strcasecmp(ct, "text/plain") != 0) {
        QV_LOG_ERROR("open stream reply of type \"%s\" carries no file data", ct ? ct : "");
        qvhttp_sock_close(r);
        return QV_ERR_DL_NO_TYPE;
    }
    if (const char *range = qvhttp_hdr_get(resp->headers, "Content-Range")) {
        resp->content_length = qvhttp_stream_range_length(range);
    } else if (const char *cl = qvhttp_hdr_get(resp->headers, "Content-Length")) {
        int64_t n = std::strtoll(cl, nullptr, 10);
        resp->content_length = n > 0 ? n : 0;
    }
    return 0;
}

ssize_t qvhttp_sock_read(qvhttp_request *r, void *buf, size_t size) {
    if (!r || r->sock <= 0 || !buf) return -1;
    const int32_t t = qvhttp_request_timeout(r);
    if (qvio::wait_readable(r->sock, qvio::now_ms() + t, r->file_task) != 0) return -1;
    for (;;) {
        ssize_t n = ::recv(r->sock, buf, size, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

ssize_t qvhttp_sock_write(qvhttp_request *r, const void *data, size_t len) {
    if (!r || r->sock <= 0 || !data) return -1;
    for (;;) {
        ssize_t n = ::send(r->sock, data, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

int qvhttp_sock_close(qvhttp_request *r) {
    if (!r) return 0;
    if (r->sock > 0) QV_SockClose(r->sock);
    r->sock = -1;  // never close a number the system may have handed out again
    return 0;
}
