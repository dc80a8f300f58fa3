#include "command/net_transport.h"

#include <atomic>

#include "base/qv_errors.h"
#include "command/qv_net.h"

namespace {
std::atomic<qv_net_post_fn> g_post{nullptr};
}

void qv_set_net_post(qv_net_post_fn fn) {
    g_post.store(fn);
}

int qv_net_post(const char *url, const char *request, int timeout, char **reply, uint64_t *reply_len,
                client_file_task *task) {
    if (qv_net_post_fn fn = g_post.load()) return fn(url, request, timeout, reply, reply_len, task);
    return qvNetPost(url, request, timeout, reply, reply_len, task);
}

int qv_net_keep_alive_post(const char *url, const char *request, int timeout, char **reply,
                           uint64_t *reply_len, client_file_task *task) {
    return qvNetKeepAlivePost(url, request, timeout, reply, reply_len, task);
}

qvhttp_request *qv_net_open(const char *url, const char *request, int timeout, char **reply,
                            client_file_task *task) {
    return qvNetOpen(url, request, timeout, reply, task);
}

int qv_net_read(qvhttp_request *stream, char *buf, int size) {
    return size < 0 ? QV_ERR_ARG : qvNetRead(stream, buf, static_cast<size_t>(size));
}

int qv_net_write(qvhttp_request *stream, const char *data, int len) {
    return len < 0 ? QV_ERR_ARG : qvNetWrite(stream, data, static_cast<size_t>(len));
}

void qv_net_close(qvhttp_request *stream) {
    qvNetClose(stream);
}
