// Pooled exchanges: qvhttp_process borrows a connection per call; qvhttp_keep_alive_process keeps one in the
// task across calls. Either gives a connection back healthy only when its reply was consumed exactly.
#include "base/client_file_task.h"
#include "base/qv_errors.h"
#include "link/connect_pool.h"
#include "link/qvhttp_exchange.h"
#include "link/qvhttp_io.h"

namespace {

const char *host_of(qvhttp_request *r) {
    return r->uri ? r->uri->host : nullptr;
}
int port_of(qvhttp_request *r) {
    return r->uri ? r->uri->port : 0;
}

// An exchange that fails once its task is cancelled ends as the cancel: the failure is then the cancel's
// doing (a logout closes every pooled connection, those in use too) and the caller asked for the end.
int cancel_wins(qvhttp_request *r, int rc) {
    return rc != 0 && qvio::cancelled(r->file_task) ? QV_ERR_CANCELLED : rc;
}

}  // namespace

using qvio::read_reply;
using qvio::send_request;

int qvhttp_process(qvhttp_request *r) {
    if (!r || !r->req || !r->resp) return QV_ERR_ARG;
    const int32_t t = qvhttp_request_timeout(r);
    sock_handle *h = nullptr;
    int rc = QVConnectPort(host_of(r), port_of(r), &h, t);
    if (rc != 0) return rc;
    if (!h) return QV_ERR_ARG;
    bool consumed = false;
    rc = send_request(r, h->fd, t);
    if (rc == 0) rc = read_reply(r, h->fd, t, &consumed);
    rc = cancel_wins(r, rc);
    h->ret = rc != 0 ? rc : consumed ? 0 : QV_ERR_NET;
    QVClose(h);
    return rc;
}

int qvhttp_keep_alive_process(qvhttp_request *r) {
    if (!r || !r->req || !r->resp || !r->file_task) return QV_ERR_ARG;
    client_file_task *task = r->file_task;
    const int32_t t = qvhttp_request_timeout(r);
    auto *h = static_cast<sock_handle *>(task->held_conn);
    if (!h) {
        int rc = QVConnectPort(host_of(r), port_of(r), &h, t);
        if (rc != 0) return rc;
        if (!h) return QV_ERR_ARG;
        task->held_conn = h;
    }
    bool consumed = false;
    int rc = send_request(r, h->fd, t);
    if (rc == 0) rc = read_reply(r, h->fd, t, &consumed);
    rc = cancel_wins(r, rc);
    if (rc != 0 || !consumed) {
        // Lost, or bytes of this reply may still be on the wire: the connection cannot carry another
        // exchange.
        h->ret = rc != 0 ? rc : QV_ERR_NET;
        QVClose(h);
        task->held_conn = nullptr;
    }
    return rc;
}
